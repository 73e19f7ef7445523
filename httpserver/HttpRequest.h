#pragma once

#include "HttpSpoolBudget.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QMultiMap>

#include <memory>

class QIODevice;
class QTemporaryFile;

// One parsed HTTP request: request line, header fields, query parameters and body.
// Built by HttpRequestParser; a handler reads it on the connection's thread only.
// Bodies above spoolThreshold bytes live in an anonymous temporary file (gone with the request),
// so a large upload costs disk rather than memory.
class HttpRequest
{
public:
    explicit HttpRequest(qint64 spoolThreshold = 1024 * 1024, const QString &tempDir = QString());
    ~HttpRequest();
    HttpRequest(const HttpRequest &) = delete;
    HttpRequest &operator=(const HttpRequest &) = delete;

    // Method as sent ("GET", "POST", ...).
    QByteArray getMethod() const { return mMethod; }
    // Path of the request target without the query, still percent-encoded.
    QByteArray getRawPath() const { return mRawPath; }
    // Path of the request target without the query, percent-decoded.
    QByteArray getPath() const;
    // The request target exactly as sent (path and query).
    QByteArray getTarget() const { return mTarget; }
    // "HTTP/1.1" or "HTTP/1.0".
    QByteArray getVersion() const { return mVersion; }

    // Header names are compared case-insensitively; values come as sent (trimmed).
    QByteArray getHeader(const QByteArray &name) const;
    QList<QByteArray> getHeaders(const QByteArray &name) const;
    // All fields, keys lower-cased.
    QMultiMap<QByteArray, QByteArray> getHeaderMap() const { return mHeaders; }

    // Query parameters (and fields of an application/x-www-form-urlencoded body up to
    // the spool threshold), percent-decoded.
    QByteArray getParameter(const QByteArray &name) const;
    QList<QByteArray> getParameters(const QByteArray &name) const;
    QMultiMap<QByteArray, QByteArray> getParameterMap() const { return mParameters; }

    // The whole body in memory. For a spooled body this reads the file: prefer
    // getBodyDevice() for bodies that may be large.
    QByteArray getBody() const;
    // The body as an open, readable device positioned at its start; owned by the request.
    QIODevice *getBodyDevice();
    qint64 getBodySize() const { return mBodySize; }
    bool isBodySpooled() const { return mSpoolFile != nullptr; }
    // Gives a spooled body its final name without copying it: renames the spool file to
    // target, which must be on the same file system (else false, and nothing changes). The
    // body stays readable through getBodyDevice().
    bool moveSpooledBody(const QString &target);

    QHostAddress getPeerAddress() const { return mPeerAddress; }
    void setPeerAddress(const QHostAddress &address) { mPeerAddress = address; }

    // Whether the client wants the connection kept open after this request.
    bool isKeepAlive() const { return mKeepAlive; }

    static QByteArray urlDecode(const QByteArray &text, bool plusAsSpace = false);

private:
    friend class HttpRequestParser;
    friend struct HttpRequestSink;

    void setRequestLine(const QByteArray &method, const QByteArray &target, const QByteArray &version);
    void addHeader(const QByteArray &name, const QByteArray &value);
    // Appends body bytes, moving the body to a temporary file once it passes the threshold.
    bool appendBody(const char *data, qint64 size);
    // Called once the body is complete.
    bool finishBody();
    static void parseQuery(const QByteArray &query, QMultiMap<QByteArray, QByteArray> &into);

    QByteArray mMethod;
    QByteArray mTarget;
    QByteArray mRawPath;
    QByteArray mVersion;
    QMultiMap<QByteArray, QByteArray> mHeaders;
    QMultiMap<QByteArray, QByteArray> mParameters;
    QByteArray mBody;
    // The spool budget the body holds; given back after the spool file is gone.
    HttpSpoolReservation mSpoolReservation;
    std::unique_ptr<QTemporaryFile> mSpoolFile;
    std::unique_ptr<QIODevice> mBodyDevice;
    qint64 mBodySize = 0;
    qint64 mSpoolThreshold;
    QString mTempDir;
    QHostAddress mPeerAddress;
    bool mKeepAlive = true;
};
