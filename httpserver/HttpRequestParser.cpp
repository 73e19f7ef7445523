// GCC's flow analysis takes Beast's boost::optional results for uninitialised when the
// sanitizers are on (a false alarm inside Beast's headers).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include "HttpRequestParser.h"

#include "HttpRequest.h"
#include "HttpSpoolBudget.h"

#include <QDir>
#include <QStorageInfo>

#include <boost/beast/core/buffers_range.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/parser.hpp>

#include <algorithm>

namespace http = boost::beast::http;

// The parser's way to the request's private body storage.
struct HttpRequestSink
{
    static bool append(HttpRequest &request, const char *data, qint64 size)
    {
        return request.appendBody(data, size);
    }

    // Before a body of total bytes goes to disk: the budget and the disk have room for it.
    static bool makeRoom(HttpRequest &request, const HttpRequestParser::Limits &limits,
                         qint64 total)
    {
        if (total <= limits.spoolThreshold || total <= request.mSpoolReservation.bytes())
            return true;
        const QString dir = limits.tempDir.isEmpty() ? QDir::tempPath() : limits.tempDir;
        const QStorageInfo storage(dir);
        const qint64 needed = total - request.mSpoolReservation.bytes();
        if (storage.isValid() && storage.bytesAvailable() - needed < limits.minFreeSpace)
            return false;
        return request.mSpoolReservation.growTo(limits.spoolBudget, total);
    }
};

namespace {

// Errors raised by the body sink, reported through Beast's error_code.
enum class SinkError { SpoolFailed = 1, NoRoom };

class SinkErrorCategory : public boost::system::error_category
{
public:
    const char *name() const noexcept override { return "http.sink"; }
    std::string message(int error) const override
    {
        return error == int(SinkError::NoRoom) ? "no room to spool the request body"
                                               : "spooling the request body failed";
    }
};

const SinkErrorCategory &sinkCategory()
{
    static const SinkErrorCategory category;
    return category;
}

// A Beast body type that hands every body byte to the request, which keeps small bodies
// in memory and spools large ones to disk, and enforces the body limit (also for chunked
// bodies, whose size is not known in advance).
struct RequestSinkBody
{
    struct value_type
    {
        HttpRequest *request = nullptr;
        const HttpRequestParser::Limits *limits = nullptr;
        qint64 limit = 0;
        qint64 received = 0;
    };

    class reader
    {
    public:
        template<bool isRequest, class Fields>
        explicit reader(http::header<isRequest, Fields> &, value_type &body)
            : mBody(body)
        {
        }

        void init(const boost::optional<std::uint64_t> &length, boost::system::error_code &ec)
        {
            ec = {};
            if (length && *length > std::uint64_t(mBody.limit))
                ec = http::error::body_limit;
        }

        template<class ConstBufferSequence>
        std::size_t put(const ConstBufferSequence &buffers, boost::system::error_code &ec)
        {
            ec = {};
            std::size_t total = 0;
            for (auto b : boost::beast::buffers_range_ref(buffers)) {
                const qint64 n = qint64(b.size());
                if (n > mBody.limit - mBody.received) {
                    ec = http::error::body_limit;
                    return total;
                }
                if (!HttpRequestSink::makeRoom(*mBody.request, *mBody.limits, mBody.received + n)) {
                    ec.assign(int(SinkError::NoRoom), sinkCategory());
                    return total;
                }
                if (!HttpRequestSink::append(*mBody.request, static_cast<const char *>(b.data()), n)) {
                    ec.assign(int(SinkError::SpoolFailed), sinkCategory());
                    return total;
                }
                mBody.received += n;
                total += std::size_t(n);
            }
            return total;
        }

        void finish(boost::system::error_code &ec) { ec = {}; }

    private:
        value_type &mBody;
    };
};

} // namespace

struct HttpRequestParser::Impl
{
    http::request_parser<RequestSinkBody> parser;
};

HttpRequestParser::HttpRequestParser()
    : HttpRequestParser(Limits())
{
}

HttpRequestParser::HttpRequestParser(const Limits &limits)
    : d(std::make_unique<Impl>())
    , mLimits(limits)
    , mRequest(std::make_unique<HttpRequest>(limits.spoolThreshold, limits.tempDir))
{
    d->parser.header_limit(std::uint32_t(std::clamp<qint64>(limits.maxHeaderSize, 64, 1 << 30)));
    // The sink enforces the body limit itself (it depends on the content type).
    d->parser.body_limit(boost::none);
    d->parser.eager(false);
    d->parser.get().body().request = mRequest.get();
    d->parser.get().body().limits = &mLimits;
    // Tightened to the limit of the request's content type once the header is known.
    d->parser.get().body().limit = qMax<qint64>(0, qMax(limits.maxRequestSize, limits.maxMultiPartSize));
}

HttpRequestParser::~HttpRequestParser() = default;

bool HttpRequestParser::expectsContinue() const
{
    if (!mHeaderComplete || mStatus != Status::NeedMore || !mRequest)
        return false;
    return mRequest->getHeader("expect").trimmed().toLower() == "100-continue";
}

std::unique_ptr<HttpRequest> HttpRequestParser::takeRequest()
{
    return std::move(mRequest);
}

void HttpRequestParser::feed(const char *data, qsizetype size)
{
    if (size <= 0)
        return;
    if (mStatus == Status::Complete) {
        mLeftover.append(data, size);
        return;
    }
    if (mStatus != Status::NeedMore)
        return;
    mStarted = true;
    if (mCarry.isEmpty()) {
        run(data, size);
    } else {
        mCarry.append(data, size);
        // Beast 1.81 asserts (in builds without NDEBUG) when the unfinished end of a chunked
        // body that began with its last chunk, "0\r\n", comes back shorter than 5 bytes.
        // The shortest end that can follow a held chunk line, "0\r\n\r\n", is 5 bytes, so
        // waiting for them delays no message.
        if (mHeaderComplete && d->parser.chunked() && mCarry.size() < 5)
            return;
        const QByteArray carried = std::exchange(mCarry, QByteArray());
        run(carried.constData(), carried.size());
    }
}

void HttpRequestParser::feedEof()
{
    if (mStatus != Status::NeedMore || !mStarted)
        return;
    boost::system::error_code ec;
    d->parser.put_eof(ec);
    if (ec || !d->parser.is_done()) {
        fail(400, "Bad Request");
        return;
    }
    mStatus = Status::Complete;
}

void HttpRequestParser::run(const char *data, qsizetype size)
{
    while (size > 0 && mStatus == Status::NeedMore) {
        boost::system::error_code ec;
        const std::size_t n = d->parser.put(boost::asio::buffer(data, std::size_t(size)), ec);
        data += n;
        size -= qsizetype(n);
        if (ec == http::error::need_more)
            break;
        if (ec) {
            if (ec == http::error::header_limit)
                fail(431, "Request Header Fields Too Large");
            else if (ec == http::error::body_limit)
                fail(413, "Payload Too Large");
            else if (ec.category() == sinkCategory() && ec.value() == int(SinkError::NoRoom))
                fail(503, "Service Unavailable");
            else if (ec.category() == sinkCategory())
                fail(500, "Internal Server Error");
            else
                fail(400, "Bad Request");
            return;
        }
        if (!mHeaderComplete && d->parser.is_header_done()) {
            if (!onHeader())
                return;
        }
        if (d->parser.is_done()) {
            if (!mRequest->finishBody()) {
                fail(500, "Internal Server Error");
                return;
            }
            mStatus = Status::Complete;
            break;
        }
        if (n == 0)
            break;
    }
    if (size <= 0)
        return;
    if (mStatus == Status::Complete)
        mLeftover.append(data, size);
    else if (mStatus == Status::NeedMore) {
        // Only an unfinished element is carried (a header, a chunk line, trailer fields);
        // one that outgrows the header limit never ends well.
        if (size > qMax<qint64>(mLimits.maxHeaderSize, 4096)) {
            fail(mHeaderComplete ? 400 : 431,
                 mHeaderComplete ? "Bad Request" : "Request Header Fields Too Large");
            return;
        }
        mCarry = QByteArray(data, size);
    }
}

bool HttpRequestParser::onHeader()
{
    mHeaderComplete = true;
    const auto &msg = d->parser.get();
    const int version = int(msg.version());
    if (version != 10 && version != 11) {
        fail(505, "HTTP Version Not Supported");
        return false;
    }
    const auto method = msg.method_string();
    QByteArray target(msg.target().data(), qsizetype(msg.target().size()));
    // absolute-form ("http://host/path") is reduced to its path; authority-form (CONNECT)
    // makes no sense for an origin server.
    const qsizetype scheme = target.indexOf("://");
    if (!target.startsWith('/') && scheme > 0) {
        const qsizetype slash = target.indexOf('/', scheme + 3);
        target = slash < 0 ? QByteArrayLiteral("/") : target.mid(slash);
    }
    if (!target.startsWith('/') && target != "*") {
        fail(400, "Bad Request");
        return false;
    }
    mRequest->setRequestLine(QByteArray(method.data(), qsizetype(method.size())), target,
                             version == 11 ? QByteArrayLiteral("HTTP/1.1")
                                           : QByteArrayLiteral("HTTP/1.0"));
    for (const auto &field : msg) {
        const auto name = field.name_string();
        const auto value = field.value();
        mRequest->addHeader(QByteArray(name.data(), qsizetype(name.size())),
                            QByteArray(value.data(), qsizetype(value.size())));
    }
    mRequest->mKeepAlive = d->parser.keep_alive();
    if (version == 11 && mRequest->getHeaders("host").size() > 1) {
        fail(400, "Bad Request");
        return false;
    }
    if (!mRequest->getHeaders("transfer-encoding").isEmpty() && !d->parser.chunked()) {
        // Without chunked as the final coding the body's end cannot be found.
        fail(400, "Bad Request");
        return false;
    }
    const bool multipart = mRequest->getHeader("content-type").toLower().startsWith("multipart/form-data");
    mBodyLimit = multipart ? mLimits.maxMultiPartSize : mLimits.maxRequestSize;
    if (mBodyPolicy) {
        // Decided before any body byte is read or spooled: a refused request (bad
        // credentials, say) cannot take disk space or spool budget.
        HttpBodyPolicy policy = mBodyPolicy(*mRequest);
        if (policy.refuseStatus != 0) {
            const int status = policy.refuseStatus;
            const QByteArray reason = policy.refuseReason;
            mRefusal = std::move(policy);
            fail(status, reason);
            return false;
        }
        if (policy.maxBodySize >= 0)
            mBodyLimit = qMin(mBodyLimit, policy.maxBodySize);
    }
    auto &body = d->parser.get().body();
    body.limit = qMax<qint64>(0, mBodyLimit);
    // The parser has checked the field (one value, digits only, no overflow).
    bool hasLength = false;
    const qulonglong length = mRequest->getHeader("content-length").toULongLong(&hasLength);
    if (hasLength && length > qulonglong(body.limit)) {
        fail(413, "Payload Too Large");
        return false;
    }
    // Refused before any of the body is read (or asked for with 100 Continue).
    if (hasLength && !HttpRequestSink::makeRoom(*mRequest, mLimits, qint64(length))) {
        fail(503, "Service Unavailable");
        return false;
    }
    d->parser.eager(true);
    return true;
}

void HttpRequestParser::fail(int status, const QByteArray &reason)
{
    mStatus = Status::Failed;
    mErrorStatus = status;
    mErrorReason = reason;
    mCarry.clear();
}
