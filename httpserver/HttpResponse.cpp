#include "HttpResponse.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace {

// Bodies from this size on are written beside the header instead of being copied behind it.
constexpr qint64 sGatherThreshold = 2048;
// Bytes of a file read at once where it passes through user space.
constexpr qint64 sFileChunk = 64 * 1024;

bool isTokenChar(char c)
{
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
        return true;
    switch (c) {
    case '!': case '#': case '$': case '%': case '&': case '\'': case '*': case '+': case '-':
    case '.': case '^': case '_': case '`': case '|': case '~':
        return true;
    default:
        return false;
    }
}

QByteArray withoutLineBreaks(QByteArray text)
{
    text.replace('\r', "");
    text.replace('\n', "");
    text.replace('\0', "");
    return text;
}

} // namespace

HttpResponse::HttpResponse(HttpOutput *output)
    : mOutput(output)
    , mHeaders({{"X-Content-Type-Options", "nosniff"},
                {"X-Frame-Options", "DENY"},
                {"Referrer-Policy", "no-referrer"}})
{
}

void HttpResponse::setStatus(int code)
{
    setStatus(code, standardReason(code));
}

void HttpResponse::setStatus(int code, const QByteArray &reason)
{
    if (mHeadersSent || code < 100 || code > 999)
        return;
    mStatusCode = code;
    mStatusReason = withoutLineBreaks(reason);
}

qsizetype HttpResponse::findHeader(const QByteArray &name) const
{
    for (qsizetype i = 0; i < mHeaders.size(); ++i) {
        if (mHeaders.at(i).first.compare(name, Qt::CaseInsensitive) == 0)
            return i;
    }
    return -1;
}

void HttpResponse::setHeader(const QByteArray &name, const QByteArray &value)
{
    if (mHeadersSent || name.isEmpty() || !std::all_of(name.begin(), name.end(), isTokenChar))
        return;
    const QByteArray clean = withoutLineBreaks(value).trimmed();
    const qsizetype i = findHeader(name);
    if (i >= 0)
        mHeaders[i].second = clean;
    else
        mHeaders.emplaceBack(name, clean);
}

void HttpResponse::setHeader(const QByteArray &name, qint64 value)
{
    setHeader(name, QByteArray::number(value));
}

QByteArray HttpResponse::getHeader(const QByteArray &name) const
{
    const qsizetype i = findHeader(name);
    return i < 0 ? QByteArray() : mHeaders.at(i).second;
}

void HttpResponse::setRequestInfo(bool http11, bool headRequest, bool keepAlive)
{
    mHttp11 = http11;
    mHead = headRequest;
    mKeepAlive = keepAlive;
}

bool HttpResponse::bodyAllowed() const
{
    return !(mStatusCode < 200 || mStatusCode == 204 || mStatusCode == 304);
}

bool HttpResponse::isConnected() const
{
    return !mWriteFailed && mOutput && mOutput->isOpen();
}

bool HttpOutput::writeAllGathered(const char *first, qint64 firstSize, const char *second,
                                  qint64 secondSize)
{
    return writeAll(first, firstSize) && writeAll(second, secondSize);
}

qint64 HttpOutput::writeFile(const QByteArray &head, int fd, qint64 offset, qint64 size)
{
    if (!head.isEmpty() && !writeAll(head.constData(), head.size()))
        return -1;
    QByteArray part(qsizetype(qMin<qint64>(size, sFileChunk)), Qt::Uninitialized);
    qint64 done = 0;
    while (done < size) {
        const ssize_t n = ::pread(fd, part.data(), size_t(qMin<qint64>(part.size(), size - done)),
                                  off_t(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        if (!writeAll(part.constData(), n))
            return -1;
        done += n;
    }
    return done;
}

void HttpResponse::appendHeader(QByteArray &out, bool lastPart, qint64 lastSize)
{
    const qsizetype lengthIndex = findHeader("Content-Length");
    if (!bodyAllowed()) {
        if (lengthIndex >= 0)
            mHeaders.removeAt(lengthIndex);
    } else if (lengthIndex >= 0) {
        bool ok = false;
        mDeclaredLength = mHeaders.at(lengthIndex).second.toLongLong(&ok);
        if (!ok || mDeclaredLength < 0) {
            mHeaders.removeAt(lengthIndex);
            mDeclaredLength = -1;
        }
    }
    const qsizetype teIndex = findHeader("Transfer-Encoding");
    if (teIndex >= 0)
        mHeaders.removeAt(teIndex);
    if (bodyAllowed() && mDeclaredLength < 0) {
        if (lastPart) {
            mDeclaredLength = lastSize;
            mHeaders.emplaceBack("Content-Length", QByteArray::number(lastSize));
        } else if (mHttp11) {
            mChunked = true;
            mHeaders.emplaceBack("Transfer-Encoding", "chunked");
        } else {
            mKeepAlive = false;
        }
    }
    const qsizetype connIndex = findHeader("Connection");
    if (connIndex >= 0) {
        if (mHeaders.at(connIndex).second.toLower().contains("close"))
            mKeepAlive = false;
        mHeaders.removeAt(connIndex);
    }
    if (!mKeepAlive)
        mHeaders.emplaceBack("Connection", "close");
    else if (!mHttp11)
        mHeaders.emplaceBack("Connection", "keep-alive");

    qsizetype size = 32 + mStatusReason.size();
    for (const auto &h : std::as_const(mHeaders))
        size += h.first.size() + h.second.size() + 4;
    out.reserve(out.size() + size);
    out.append(mHttp11 ? "HTTP/1.1 " : "HTTP/1.0 ");
    out.append(QByteArray::number(mStatusCode));
    out.append(' ');
    out.append(mStatusReason);
    out.append("\r\n");
    for (const auto &h : std::as_const(mHeaders)) {
        out.append(h.first);
        out.append(": ");
        out.append(h.second);
        out.append("\r\n");
    }
    out.append("\r\n");
    mHeadersSent = true;
}

bool HttpResponse::writeOut(const QByteArray &out)
{
    if (out.isEmpty())
        return true;
    if (!mOutput->writeAll(out.constData(), out.size())) {
        mWriteFailed = true;
        mKeepAlive = false;
        return false;
    }
    return true;
}

bool HttpResponse::write(const QByteArray &data, bool lastPart)
{
    if (mLastPartSent || mWriteFailed || !mOutput)
        return false;
    QByteArray out;
    if (!mHeadersSent)
        appendHeader(out, lastPart, data.size());
    // A body of some size goes out beside the header rather than copied behind it.
    const char *body = nullptr;
    qint64 bodySize = 0;
    if (!mHead && bodyAllowed() && !data.isEmpty()) {
        if (mChunked) {
            out.append(QByteArray::number(data.size(), 16));
            out.append("\r\n");
            out.append(data);
            out.append("\r\n");
        } else {
            qint64 n = data.size();
            if (mDeclaredLength >= 0) {
                // Never more than declared: the excess would be read as the next response.
                n = qMin<qint64>(mDeclaredLength - mBodyWritten, data.size());
                if (n < data.size())
                    mKeepAlive = false;
            }
            if (n >= sGatherThreshold || out.isEmpty()) {
                body = data.constData();
                bodySize = n;
            } else {
                out.append(data.constData(), n);
            }
            mBodyWritten += n;
        }
    }
    if (lastPart) {
        if (mChunked && !mHead)
            out.append("0\r\n\r\n");
        mLastPartSent = true;
        if (!mHead && mDeclaredLength >= 0 && mBodyWritten < mDeclaredLength)
            mKeepAlive = false; // the client waits for bytes that never come; end the connection
    }
    if (bodySize == 0)
        return writeOut(out);
    const bool ok = out.isEmpty() ? mOutput->writeAll(body, bodySize)
                                  : mOutput->writeAllGathered(out.constData(), out.size(), body, bodySize);
    if (!ok) {
        mWriteFailed = true;
        mKeepAlive = false;
    }
    return ok;
}

bool HttpResponse::writeFile(int fd, qint64 offset, qint64 size)
{
    if (mLastPartSent || mWriteFailed || !mOutput || size < 0 || offset < 0)
        return false;
    if (mHeadersSent) {
        // The framing is fixed already (chunks, or a length): the file goes through write().
        QByteArray part;
        qint64 done = 0;
        while (done < size) {
            part.resize(qsizetype(qMin<qint64>(sFileChunk, size - done)));
            const ssize_t n = ::pread(fd, part.data(), size_t(part.size()), off_t(offset + done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                // Cut short: no closing chunk; the connection ends and the client sees it.
                mLastPartSent = true;
                mKeepAlive = false;
                return false;
            }
            part.truncate(n);
            done += n;
            if (!write(part, done >= size))
                return false;
        }
        return size > 0 || write(QByteArray(), true);
    }
    QByteArray out;
    appendHeader(out, true, size);
    mLastPartSent = true;
    qint64 n = 0;
    if (!mHead && bodyAllowed()) {
        // Never more than declared: the excess would be read as the next response.
        n = mDeclaredLength >= 0 ? qMin(size, mDeclaredLength) : size;
        if (n < size)
            mKeepAlive = false;
    }
    if (n == 0) {
        if (!mHead && mDeclaredLength > 0)
            mKeepAlive = false;
        return writeOut(out);
    }
    const qint64 written = mOutput->writeFile(out, fd, offset, n);
    if (written < 0) {
        mWriteFailed = true;
        mKeepAlive = false;
        return false;
    }
    mBodyWritten += written;
    if (mDeclaredLength >= 0 && mBodyWritten < mDeclaredLength) {
        // The file ended early; the client waits for bytes that never come.
        mKeepAlive = false;
        return false;
    }
    return true;
}

void HttpResponse::redirect(const QByteArray &url)
{
    setStatus(303, "See Other");
    setHeader("Location", url);
    write("Redirect", true);
}

bool HttpResponse::complete()
{
    if (!mLastPartSent)
        write(QByteArray(), true);
    // Not isConnected(): a client that half-closed after sending pipelined requests still
    // reads their answers; a peer that is really gone shows at the next read.
    return mKeepAlive && !mWriteFailed;
}

QByteArray HttpResponse::standardReason(int code)
{
    switch (code) {
    case 100: return "Continue";
    case 200: return "OK";
    case 201: return "Created";
    case 202: return "Accepted";
    case 204: return "No Content";
    case 206: return "Partial Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 303: return "See Other";
    case 304: return "Not Modified";
    case 307: return "Temporary Redirect";
    case 308: return "Permanent Redirect";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 409: return "Conflict";
    case 411: return "Length Required";
    case 413: return "Payload Too Large";
    case 414: return "URI Too Long";
    case 415: return "Unsupported Media Type";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 503: return "Service Unavailable";
    case 505: return "HTTP Version Not Supported";
    default: return QByteArray();
    }
}
