#pragma once

#include "HttpBodyPolicy.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>

class HttpRequest;
class HttpSpoolBudget;

// Incremental parser of one HTTP/1.x request message as defined by RFC 9112 (HTTP/1.1
// message syntax: request-line, field lines, then a body framed by Content-Length or the
// chunked transfer coding with optional trailer fields). It works on bytes, not sockets:
// feed() may be given any split of the stream, down to one byte at a time.
//
// Bytes after the end of the message (a pipelined request) are not parsed; leftover()
// returns them so that the caller can start the next parser with them. After a failure,
// errorStatus() is the status to answer with (400, 413, 431, 500, 503 or 505, or the status
// of a body policy's refusal) and the connection must be closed, since the rest of the
// stream cannot be framed.
// Not thread-safe; one parser serves one message of one connection.
class HttpRequestParser
{
public:
    struct Limits
    {
        // Largest accepted body (bytes), multipart/form-data bodies excepted.
        qint64 maxRequestSize = 16 * 1024 * 1024;
        // Largest accepted multipart/form-data body (bytes).
        qint64 maxMultiPartSize = 16 * 1024 * 1024;
        // Largest request line plus header fields (bytes).
        qint64 maxHeaderSize = 16 * 1024;
        // Bodies above this many bytes are spooled to a temporary file.
        qint64 spoolThreshold = 1024 * 1024;
        // Directory for spooled bodies; empty means the system's temporary directory.
        QString tempDir;
        // Shared by the parsers of one listener: a body that would take the bytes spooled at
        // once past its limit fails with 503. Null: no bound.
        std::shared_ptr<HttpSpoolBudget> spoolBudget;
        // Bytes the spool directory must keep free besides a body to be spooled; a body
        // announced larger than the free space allows (or a chunked one that outgrows it)
        // fails with 503.
        qint64 minFreeSpace = 0;
    };

    enum class Status { NeedMore, Complete, Failed };

    // Asked once the header is complete, before any body byte is taken: the body limit of
    // this request, or a refusal. Runs on the thread that feeds the parser.
    using BodyPolicyFunction = std::function<HttpBodyPolicy(const HttpRequest &)>;

    HttpRequestParser();
    explicit HttpRequestParser(const Limits &limits);
    ~HttpRequestParser();
    HttpRequestParser(const HttpRequestParser &) = delete;
    HttpRequestParser &operator=(const HttpRequestParser &) = delete;

    // Takes the bytes; parsing stops at the end of the message or at the first error.
    void feed(const char *data, qsizetype size);
    void feed(const QByteArray &data) { feed(data.constData(), data.size()); }
    // Set before the first feed(); without one the limits above apply to every request.
    void setBodyPolicy(BodyPolicyFunction policy) { mBodyPolicy = std::move(policy); }

    // The peer closed its side: a message begun but not finished fails with 400.
    void feedEof();

    Status status() const { return mStatus; }
    // True once the request line and all header fields have been read.
    bool isHeaderComplete() const { return mHeaderComplete; }
    // True when the header asked for "100-continue" and the body has not been read yet.
    bool expectsContinue() const;
    // True when no byte of a message has been fed yet.
    bool isIdle() const { return !mStarted; }

    int errorStatus() const { return mErrorStatus; }
    QByteArray errorReason() const { return mErrorReason; }
    // The body policy's refusal when that was the failure (refuseStatus 0 otherwise).
    const HttpBodyPolicy &refusal() const { return mRefusal; }

    // Bytes fed after the end of the message.
    QByteArray leftover() const { return mLeftover; }

    // The request; valid once the header is complete. takeRequest() hands it over.
    HttpRequest *request() const { return mRequest.get(); }
    std::unique_ptr<HttpRequest> takeRequest();

private:
    struct Impl;
    friend struct Impl;

    void run(const char *data, qsizetype size);
    bool onHeader();
    void fail(int status, const QByteArray &reason);

    std::unique_ptr<Impl> d;
    Limits mLimits;
    std::unique_ptr<HttpRequest> mRequest;
    QByteArray mCarry;
    QByteArray mLeftover;
    Status mStatus = Status::NeedMore;
    int mErrorStatus = 0;
    QByteArray mErrorReason;
    BodyPolicyFunction mBodyPolicy;
    HttpBodyPolicy mRefusal;
    qint64 mBodyLimit = 0;
    bool mHeaderComplete = false;
    bool mStarted = false;
};
