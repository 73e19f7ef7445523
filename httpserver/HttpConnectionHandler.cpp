#include "HttpConnectionHandler.h"

#include "HttpRequest.h"
#include "HttpRequestHandler.h"
#include "HttpResponse.h"
#include "HttpTls.h"

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QtGlobal>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <exception>

namespace {

constexpr qsizetype sReadChunk = 64 * 1024;
// Largest piece of a file handed to sendfile(2) at once.
constexpr qint64 sSendfileChunk = 1024 * 1024;

// Blocking writes on a socket with a deadline per write.
class SocketOutput : public HttpOutput
{
public:
    SocketOutput(int fd, int timeoutMs, SSL *ssl = nullptr)
        : mFd(fd)
        , mTimeoutMs(timeoutMs)
        , mSsl(ssl)
    {
    }

    bool writeAll(const char *data, qint64 size) override
    {
        if (mSsl)
            return writeTls(data, size);
        iovec v{const_cast<char *>(data), size_t(size)};
        return writeVector(&v, 1, 0);
    }

    bool writeAllGathered(const char *first, qint64 firstSize, const char *second,
                          qint64 secondSize) override
    {
        if (mSsl) {
            // A small answer leaves in one record.
            if (firstSize + secondSize <= sRecordSize) {
                thread_local QByteArray joined;
                joined.resize(0);
                joined.append(first, firstSize).append(second, secondSize);
                return writeTls(joined.constData(), joined.size());
            }
            return writeTls(first, firstSize) && writeTls(second, secondSize);
        }
        iovec v[2] = {{const_cast<char *>(first), size_t(firstSize)},
                      {const_cast<char *>(second), size_t(secondSize)}};
        return writeVector(v, 2, 0);
    }

    qint64 writeFile(const QByteArray &head, int fd, qint64 offset, qint64 size) override
    {
        if (mFailed)
            return -1;
        if (mSsl)
            return writeFileTls(head, fd, offset, size);
        // The header is held back (MSG_MORE) to leave in one packet with the file's first bytes.
        iovec v{const_cast<char *>(head.constData()), size_t(head.size())};
        if (!head.isEmpty() && !writeVector(&v, 1, size > 0 ? MSG_MORE : 0))
            return -1;
        QDeadlineTimer deadline(mTimeoutMs);
        off_t position = off_t(offset);
        qint64 done = 0;
        while (done < size) {
            const ssize_t n = ::sendfile(mFd, fd, &position, size_t(qMin<qint64>(size - done, sSendfileChunk)));
            if (n > 0) {
                done += n;
                deadline.setRemainingTime(mTimeoutMs);
                continue;
            }
            if (n == 0)
                break; // the file is shorter than it was
            if (errno == EINTR)
                continue;
            if ((errno == EAGAIN || errno == EWOULDBLOCK) && waitWritable(deadline))
                continue;
            if (errno == EINVAL || errno == ENOSYS) {
                // Not a file the kernel can send from: go through user space.
                if (done > 0) {
                    mFailed = true;
                    return -1;
                }
                return HttpOutput::writeFile(QByteArray(), fd, offset, size);
            }
            mFailed = true;
            return -1;
        }
        if (done < size) {
            // Push out a header held back by MSG_MORE (setting TCP_NODELAY pushes).
            const int one = 1;
            ::setsockopt(mFd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        }
        return done;
    }

    bool isOpen() const override
    {
        if (mFailed)
            return false;
        pollfd p{mFd, POLLIN, 0};
        if (::poll(&p, 1, 0) <= 0)
            return true;
        if (p.revents & (POLLERR | POLLHUP | POLLNVAL))
            return false;
        // Readable: either data (a pipelined request) or the peer's end of stream.
        char c;
        const ssize_t n = ::recv(mFd, &c, 1, MSG_PEEK | MSG_DONTWAIT);
        return n != 0;
    }

    // Waits until the TLS operation that reported `error` may go on; false when it cannot.
    static bool waitTls(int fd, int error, const QDeadlineTimer &deadline)
    {
        if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) {
            ERR_clear_error();
            return false;
        }
        return waitFor(fd, error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, deadline);
    }

    static bool waitFor(int fd, short events, const QDeadlineTimer &deadline)
    {
        for (;;) {
            pollfd p{fd, events, 0};
            const int left = int(qMax<qint64>(0, deadline.remainingTime()));
            const int r = ::poll(&p, 1, left);
            if (r < 0 && errno == EINTR)
                continue;
            return r > 0 && !(p.revents & (POLLERR | POLLNVAL));
        }
    }

private:
    static constexpr qint64 sRecordSize = 16 * 1024;

    // Blocking TLS writes of all bytes with a deadline per write.
    bool writeTls(const char *data, qint64 size)
    {
        if (mFailed)
            return false;
        QDeadlineTimer deadline(mTimeoutMs);
        while (size > 0) {
            ERR_clear_error();
            size_t n = 0;
            if (SSL_write_ex(mSsl, data, size_t(size), &n) == 1) {
                data += n;
                size -= qint64(n);
                deadline.setRemainingTime(mTimeoutMs);
                continue;
            }
            if (!waitTls(mFd, SSL_get_error(mSsl, 0), deadline)) {
                mFailed = true;
                return false;
            }
        }
        return true;
    }

    qint64 writeFileTls(const QByteArray &head, int fd, qint64 offset, qint64 size)
    {
        if (!BIO_get_ktls_send(SSL_get_wbio(mSsl)))
            return HttpOutput::writeFile(head, fd, offset, size);
        // Kernel TLS: the kernel encrypts what sendfile hands it.
        if (!head.isEmpty() && !writeTls(head.constData(), head.size()))
            return -1;
        QDeadlineTimer deadline(mTimeoutMs);
        qint64 done = 0;
        while (done < size) {
            ERR_clear_error();
            const ossl_ssize_t n = SSL_sendfile(mSsl, fd, off_t(offset + done),
                                                size_t(qMin<qint64>(size - done, sSendfileChunk)), 0);
            if (n > 0) {
                done += n;
                deadline.setRemainingTime(mTimeoutMs);
                continue;
            }
            if (n == 0)
                break;
            if (!waitTls(mFd, SSL_get_error(mSsl, int(n)), deadline)) {
                mFailed = true;
                return -1;
            }
        }
        return done;
    }

    bool waitWritable(const QDeadlineTimer &deadline)
    {
        for (;;) {
            pollfd p{mFd, POLLOUT, 0};
            const int left = int(qMax<qint64>(0, deadline.remainingTime()));
            const int r = ::poll(&p, 1, left);
            if (r < 0 && errno == EINTR)
                continue;
            return r > 0 && !(p.revents & (POLLERR | POLLHUP | POLLNVAL));
        }
    }

    // Blocking writes of all of `v` with a deadline per write.
    bool writeVector(iovec *v, int count, int flags)
    {
        if (mFailed)
            return false;
        QDeadlineTimer deadline(mTimeoutMs);
        while (count > 0 && v->iov_len == 0) {
            ++v;
            --count;
        }
        while (count > 0) {
            msghdr m{};
            m.msg_iov = v;
            m.msg_iovlen = size_t(count);
            ssize_t n = ::sendmsg(mFd, &m, flags | MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                while (count > 0 && size_t(n) >= v->iov_len) {
                    n -= ssize_t(v->iov_len);
                    ++v;
                    --count;
                }
                if (count > 0) {
                    v->iov_base = static_cast<char *>(v->iov_base) + n;
                    v->iov_len -= size_t(n);
                }
                deadline.setRemainingTime(mTimeoutMs);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && waitWritable(deadline))
                continue;
            mFailed = true;
            return false;
        }
        return true;
    }

    int mFd;
    int mTimeoutMs;
    SSL *mSsl;
    bool mFailed = false;
};

// Reads like recv(2) on a non-blocking socket: bytes, 0 at the end of the stream, or -1 with
// errno (EAGAIN: nothing more for now).
ssize_t receive(int fd, SSL *ssl, char *data, size_t size, int timeoutMs)
{
    if (!ssl)
        return ::recv(fd, data, size, 0);
    const QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        ERR_clear_error();
        size_t n = 0;
        if (SSL_read_ex(ssl, data, size, &n) == 1)
            return ssize_t(n);
        const int error = SSL_get_error(ssl, 0);
        if (error == SSL_ERROR_WANT_READ) {
            errno = EAGAIN;
            return -1;
        }
        if (error == SSL_ERROR_ZERO_RETURN)
            return 0;
        // A write the session needs first (a key update): wait for room, then read on.
        if (error == SSL_ERROR_WANT_WRITE && SocketOutput::waitTls(fd, error, deadline))
            continue;
        ERR_clear_error();
        errno = ECONNRESET;
        return -1;
    }
}

QHostAddress peerAddress(int fd)
{
    sockaddr_storage addr{};
    socklen_t len = sizeof(addr);
    if (::getpeername(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
        return QHostAddress();
    return QHostAddress(reinterpret_cast<sockaddr *>(&addr));
}

} // namespace

HttpConnectionHandler::Connection::~Connection()
{
    if (!mSsl)
        return;
    if (mHandshaken) {
        // Best effort, without waiting: the closure alert tells the client the answer is whole.
        ERR_clear_error();
        SSL_shutdown(mSsl);
        ERR_clear_error();
    }
    SSL_free(mSsl);
}

bool HttpConnectionHandler::handshake(Connection &c, Outcome &outcome)
{
    outcome = Outcome::Finished;
    for (;;) {
        if (Clock::now() >= c.mHandshakeDeadline)
            return false;
        ERR_clear_error();
        const int r = SSL_do_handshake(c.mSsl);
        if (r == 1) {
            c.mHandshaken = true;
            return true;
        }
        const int error = SSL_get_error(c.mSsl, r);
        if (error == SSL_ERROR_WANT_READ) {
            // Every byte the client sent is read: wait parked for more.
            c.deadline = c.mHandshakeDeadline;
            outcome = Outcome::WaitForInput;
            return false;
        }
        if (error == SSL_ERROR_WANT_WRITE) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  c.mHandshakeDeadline - Clock::now()).count();
            if (SocketOutput::waitFor(c.fd, POLLOUT, QDeadlineTimer(qMax<qint64>(0, left))))
                continue;
            return false;
        }
        const unsigned long code = ERR_peek_error();
        ERR_clear_error();
        if (ERR_GET_LIB(code) == ERR_LIB_SSL
            && (ERR_GET_REASON(code) == SSL_R_HTTP_REQUEST
                || ERR_GET_REASON(code) == SSL_R_HTTPS_PROXY_REQUEST)) {
            // Plain HTTP on the TLS port: say so in plain text and close.
            static const char sPlain[] = "HTTP/1.1 400 Bad Request\r\n"
                                         "Content-Type: text/plain; charset=UTF-8\r\n"
                                         "Content-Length: 43\r\n"
                                         "Connection: close\r\n"
                                         "\r\n"
                                         "400 this port speaks HTTPS, not plain HTTP\n";
            static_assert(sizeof("400 this port speaks HTTPS, not plain HTTP\n") - 1 == 43);
            [[maybe_unused]] const ssize_t n = ::send(c.fd, sPlain, sizeof(sPlain) - 1,
                                                      MSG_NOSIGNAL | MSG_DONTWAIT);
            lingeringClose(c.fd);
        }
        // Anything else that is not a handshake ends the connection without a word.
        return false;
    }
}

HttpConnectionHandler::HttpConnectionHandler(const Settings &settings, HttpRequestHandler *handler)
    : mSettings(settings)
    , mHandler(handler)
{
}

HttpConnectionHandler::Outcome HttpConnectionHandler::serve(Connection &connection)
{
    try {
        return serveRequests(connection);
    } catch (const std::exception &e) {
        // Out of memory or a library failure: this connection ends, the server goes on.
        qWarning("HTTP connection ended by an exception: %s", e.what());
    } catch (...) {
        qWarning("HTTP connection ended by an exception");
    }
    return Outcome::Finished;
}

void HttpConnectionHandler::expire(Connection &connection)
{
    // Silence between requests ends the connection without a word; within one, it is 408.
    if (connection.mParser && !connection.mParser->isIdle())
        answerError(connection, 408, "Request Timeout");
    connection.mParser.reset();
}

HttpConnectionHandler::Outcome HttpConnectionHandler::serveRequests(Connection &c)
{
    const int fd = c.fd;
    if (!c.mStarted) {
        c.mStarted = true;
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        // No call may block: reads return when there is nothing to read, writes wait in
        // poll() with a deadline.
        const int flags = ::fcntl(fd, F_GETFL);
        if (flags >= 0 && !(flags & O_NONBLOCK))
            ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
        c.mPeer = peerAddress(fd);
        if (mSettings.tls) {
            c.mSsl = mSettings.tls->newSession();
            if (!c.mSsl || SSL_set_fd(c.mSsl, fd) != 1) {
                ERR_clear_error();
                return Outcome::Finished;
            }
            SSL_set_accept_state(c.mSsl);
            c.mHandshakeDeadline = Clock::now() + std::chrono::milliseconds(qMax(1, mSettings.handshakeTimeout));
        }
    }
    if (c.mSsl && !c.mHandshaken) {
        Outcome outcome;
        if (!handshake(c, outcome))
            return outcome;
    }
    const int timeoutMs = qMax(1, mSettings.readTimeout);
    const std::chrono::milliseconds timeout(timeoutMs);
    SocketOutput output(fd, timeoutMs, c.mSsl);
    // Shared by the connections a thread serves: read into, parsed, then dropped.
    thread_local QByteArray buffer(sReadChunk, Qt::Uninitialized);

    const auto startRequest = [&] {
        c.mParser = std::make_unique<HttpRequestParser>(mSettings.limits);
        c.mParser->request()->setPeerAddress(c.mPeer);
        c.mParser->setBodyPolicy(
            [handler = mHandler](const HttpRequest &request) { return handler->bodyPolicy(request); });
        // The whole header must arrive within the timeout; a body may take longer as long
        // as it keeps coming.
        c.mHeaderDeadline = Clock::now() + timeout;
        // A body that trickles in (a byte just before each timeout) must not hold on for
        // ever: after the grace period it has to keep up a minimum average rate.
        c.mBodyStarted = false;
        c.mBodyBytes = 0;
        c.mContinueSent = false;
        if (!c.mPending.isEmpty())
            c.mParser->feed(std::exchange(c.mPending, QByteArray()));
    };

    // Whether the last read left the socket empty. The pool hears of a connection again only
    // when new bytes arrive (edge-triggered), so the connection may wait only once every byte
    // already there has been read.
    bool drained = false;
    for (;;) {
        if (!c.mParser)
            startRequest();
        HttpRequestParser &parser = *c.mParser;
        while (parser.status() == HttpRequestParser::Status::NeedMore) {
            if (parser.isHeaderComplete() && !c.mBodyStarted) {
                c.mBodyStarted = true;
                c.mBodyStart = Clock::now();
            }
            if (!c.mContinueSent && parser.expectsContinue()) {
                c.mContinueSent = true;
                static const char sContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
                if (!output.writeAll(sContinue, sizeof(sContinue) - 1))
                    return Outcome::Finished;
            }
            const ssize_t n = receive(fd, c.mSsl, buffer.data(), size_t(buffer.size()), timeoutMs);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                // Nothing more for now: the connection waits without a thread.
                c.deadline = parser.isHeaderComplete() ? Clock::now() + timeout : c.mHeaderDeadline;
                return Outcome::WaitForInput;
            }
            if (n > 0 && !parser.isHeaderComplete() && !parser.isIdle()
                && Clock::now() >= c.mHeaderDeadline) {
                // A header dribbled in a byte at a time never sees a silent deadline pass.
                answerError(c, 408, "Request Timeout");
                return Outcome::Finished;
            }
            if (n > 0 && c.mBodyStarted) {
                c.mBodyBytes += n;
                const qint64 elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                                           Clock::now() - c.mBodyStart).count();
                if (mSettings.minBodyRate > 0 && elapsed > mSettings.minRateGraceMs
                    && c.mBodyBytes < mSettings.minBodyRate * elapsed / 1000) {
                    answerError(c, 408, "Request Timeout");
                    return Outcome::Finished;
                }
            }
            if (n <= 0) {
                // End of stream (or reset): a request begun but not finished is dropped.
                parser.feedEof();
                if (parser.status() != HttpRequestParser::Status::Complete)
                    return Outcome::Finished;
                break;
            }
            // A TLS read returns one record at most: only a read that finds nothing tells
            // that the socket is empty.
            drained = !c.mSsl && n < buffer.size();
            parser.feed(buffer.constData(), n);
        }

        // Kept until the answer is out: it owns what the body was spooled to.
        const std::unique_ptr<HttpRequestParser> done = std::move(c.mParser);
        if (done->status() == HttpRequestParser::Status::Failed) {
            answerError(c, done->errorStatus(), done->errorReason(), done->refusal());
            lingeringClose(fd);
            return Outcome::Finished;
        }

        c.mPending = done->leftover();
        std::unique_ptr<HttpRequest> request = done->takeRequest();
        request->setPeerAddress(c.mPeer);
        HttpResponse response(&output);
        response.setRequestInfo(request->getVersion() == "HTTP/1.1", request->getMethod() == "HEAD",
                                request->isKeepAlive());
        bool failed = false;
        try {
            mHandler->service(*request, response);
        } catch (const std::exception &e) {
            qWarning("HTTP handler threw for %s: %s", request->getRawPath().constData(), e.what());
            failed = true;
        } catch (...) {
            qWarning("HTTP handler threw for %s", request->getRawPath().constData());
            failed = true;
        }
        if (failed) {
            if (response.hasSentHeaders()) {
                // Part of an answer is out; completing it would pass a truncated body off as
                // whole. Ending the connection tells the client it is not.
                return Outcome::Finished;
            }
            response.setStatus(500, "Internal Server Error");
            response.setHeader("Content-Type", "text/plain; charset=UTF-8");
            response.write("500 internal server error", true);
        }
        request.reset();
        if (!response.complete()) {
            if (c.mSsl) {
                // The closure alert marks the end of a body delimited by the connection's end.
                ERR_clear_error();
                SSL_shutdown(c.mSsl);
                ERR_clear_error();
            }
            ::shutdown(fd, SHUT_WR);
            return Outcome::Finished;
        }
        if (c.mPending.isEmpty() && drained) {
            // The client rarely has its next request out before it has read this answer:
            // wait for it parked (bytes arriving from now on wake it) rather than spend a
            // read that finds nothing.
            startRequest();
            c.deadline = c.mHeaderDeadline;
            return Outcome::WaitForInput;
        }
    }
}

void HttpConnectionHandler::answerError(const Connection &connection, int status,
                                        const QByteArray &reason, const HttpBodyPolicy &refusal)
{
    SocketOutput output(connection.fd, qMin(qMax(1, mSettings.readTimeout), 5000),
                        connection.mHandshaken ? connection.mSsl : nullptr);
    HttpResponse response(&output);
    response.setRequestInfo(true, false, false);
    response.setStatus(status, reason);
    response.setHeader("Content-Type", "text/plain; charset=UTF-8");
    for (const auto &[name, value] : refusal.refuseHeaders)
        response.setHeader(name, value);
    const bool ownBody = refusal.refuseStatus != 0 && !refusal.refuseBody.isEmpty();
    response.write(ownBody ? refusal.refuseBody : QByteArray::number(status) + ' ' + reason.toLower(),
                   true);
}

void HttpConnectionHandler::lingeringClose(int fd)
{
    // Closing with unread bytes from the client makes the kernel reset the connection,
    // which may destroy the answer before the client has read it. Read (and drop) what
    // the client is still sending for a short while first.
    ::shutdown(fd, SHUT_WR);
    QDeadlineTimer deadline(qMin(qMax(1, mSettings.readTimeout), 2000));
    char sink[16 * 1024];
    qint64 drained = 0;
    while (!deadline.hasExpired() && drained < 64 * 1024 * 1024) {
        pollfd p{fd, POLLIN, 0};
        const int r = ::poll(&p, 1, int(qMax<qint64>(1, deadline.remainingTime())));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        const ssize_t n = ::recv(fd, sink, sizeof(sink), 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        drained += n;
    }
}
