#include "HttpResponse.h"

#include <algorithm>

namespace {

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

bool HttpResponse::write(const QByteArray &data, bool lastPart)
{
    if (mLastPartSent || mWriteFailed || !mOutput)
        return false;
    QByteArray out;
    if (!mHeadersSent) {
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
                mDeclaredLength = data.size();
                mHeaders.emplaceBack("Content-Length", QByteArray::number(data.size()));
            } else if (mHttp11) {
                mChunked = true;
                mHeaders.emplaceBack("Transfer-Encoding", "chunked");
            } else {
                mKeepAlive = false;
            }
        }
        const QByteArray connection = getHeader("Connection").toLower();
        if (connection.contains("close"))
            mKeepAlive = false;
        const qsizetype connIndex = findHeader("Connection");
        if (connIndex >= 0)
            mHeaders.removeAt(connIndex);
        if (!mKeepAlive)
            mHeaders.emplaceBack("Connection", "close");
        else if (!mHttp11)
            mHeaders.emplaceBack("Connection", "keep-alive");

        out.reserve(256 + data.size());
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
    if (!mHead && bodyAllowed() && !data.isEmpty()) {
        if (mChunked) {
            out.append(QByteArray::number(data.size(), 16));
            out.append("\r\n");
            out.append(data);
            out.append("\r\n");
        } else if (mDeclaredLength >= 0) {
            // Never more than declared: the excess would be read as the next response.
            const qint64 room = mDeclaredLength - mBodyWritten;
            const qint64 n = qMin<qint64>(room, data.size());
            if (n < data.size())
                mKeepAlive = false;
            out.append(data.constData(), n);
            mBodyWritten += n;
        } else {
            out.append(data);
            mBodyWritten += data.size();
        }
    }
    if (lastPart) {
        if (mChunked && !mHead)
            out.append("0\r\n\r\n");
        mLastPartSent = true;
        if (!mHead && mDeclaredLength >= 0 && mBodyWritten < mDeclaredLength)
            mKeepAlive = false; // the client waits for bytes that never come; end the connection
    }
    if (out.isEmpty())
        return true;
    if (!mOutput->writeAll(out.constData(), out.size())) {
        mWriteFailed = true;
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
