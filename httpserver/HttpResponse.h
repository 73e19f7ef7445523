#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>

// Where the bytes of a response go: a connection's socket, or a buffer in tests.
class HttpOutput
{
public:
    virtual ~HttpOutput() = default;
    // Writes all bytes or returns false (peer gone, write timed out).
    virtual bool writeAll(const char *data, qint64 size) = 0;
    // Writes the two buffers one after the other; a socket does it in one system call.
    virtual bool writeAllGathered(const char *first, qint64 firstSize, const char *second,
                                  qint64 secondSize);
    // Writes `head`, then `size` bytes of the open file `fd` from `offset` on (the file's
    // own position is left alone). Returns the number of file bytes written: fewer than
    // `size` when the file ended early, -1 when the output failed. This one reads the file
    // in user space; a socket hands the file to the kernel.
    virtual qint64 writeFile(const QByteArray &head, int fd, qint64 offset, qint64 size);
    // False once the peer has gone or a write failed.
    virtual bool isOpen() const = 0;
};

// The answer to one request, written on the connection's thread.
// The status line and the header fields go out with the first write(). Without a
// Content-Length field a response written in several parts is sent with the chunked
// transfer coding (HTTP/1.1) or delimited by closing the connection (HTTP/1.0).
// Whatever a handler leaves incomplete is completed when its service() returns.
// Every response starts with "X-Content-Type-Options: nosniff", "X-Frame-Options: DENY" and
// "Referrer-Policy: no-referrer"; a handler may replace them.
class HttpResponse
{
public:
    explicit HttpResponse(HttpOutput *output);
    HttpResponse(const HttpResponse &) = delete;
    HttpResponse &operator=(const HttpResponse &) = delete;

    // Has no effect once the header has been sent. Without a reason, the standard one is used.
    void setStatus(int code);
    void setStatus(int code, const QByteArray &reason);
    int getStatusCode() const { return mStatusCode; }
    QByteArray getStatusReason() const { return mStatusReason; }

    // Replaces a field of the same name (names compare case-insensitively). CR, LF and NUL
    // are removed from values; a name that is not a token is refused. No effect once the
    // header has been sent.
    void setHeader(const QByteArray &name, const QByteArray &value);
    void setHeader(const QByteArray &name, qint64 value);
    QByteArray getHeader(const QByteArray &name) const;
    QList<QPair<QByteArray, QByteArray>> getHeaders() const { return mHeaders; }

    // Sends a part of the body (the header first, with the first part). Returns false when
    // the bytes could not be written or the last part was already sent.
    bool write(const QByteArray &data, bool lastPart = false);
    // Sends `size` bytes of the open file `fd` from `offset` on as the whole body and
    // completes the response, like write(contents, true) without reading the file into
    // memory. A HEAD answer sends only the header. False when the bytes could not be
    // written, the file ended early (the connection is then closed, since the client waits
    // for the declared length), or the last part was already sent.
    bool writeFile(int fd, qint64 offset, qint64 size);
    // Answers 303 See Other with a Location field; completes the response.
    void redirect(const QByteArray &url);

    bool isConnected() const;
    bool hasSentHeaders() const { return mHeadersSent; }
    bool hasSentLastPart() const { return mLastPartSent; }

    // Set by the connection before the handler runs.
    void setRequestInfo(bool http11, bool headRequest, bool keepAlive);
    // Finishes the response; true when the connection may carry another request.
    bool complete();
    bool isKeepAlive() const { return mKeepAlive; }

    static QByteArray standardReason(int code);

private:
    qsizetype findHeader(const QByteArray &name) const;
    bool bodyAllowed() const;
    // Fixes the framing from the fields set so far and appends the status line and the
    // header fields to `out`. `lastPart` and `lastSize` describe the first write.
    void appendHeader(QByteArray &out, bool lastPart, qint64 lastSize);
    bool writeOut(const QByteArray &out);

    HttpOutput *mOutput;
    int mStatusCode = 200;
    QByteArray mStatusReason = "OK";
    QList<QPair<QByteArray, QByteArray>> mHeaders;
    qint64 mDeclaredLength = -1;
    qint64 mBodyWritten = 0;
    bool mHttp11 = true;
    bool mHead = false;
    bool mKeepAlive = true;
    bool mChunked = false;
    bool mHeadersSent = false;
    bool mLastPartSent = false;
    bool mWriteFailed = false;
};
