#pragma once

#include "HttpRequestParser.h"

#include <QHostAddress>

#include <chrono>
#include <memory>

class HttpRequestHandler;
class HttpTlsContext;
struct ssl_st;

// Serves accepted TCP connections a piece at a time: serve() reads what a client has sent,
// answers every complete request (pipelined ones in order) and returns as soon as it would
// have to wait for more input, leaving the connection to wait without a thread until its
// deadline. Malformed requests get their error status and the connection is closed.
// Thread-safe; a connection is served by one thread at a time, not always the same one.
class HttpConnectionHandler
{
public:
    using Clock = std::chrono::steady_clock;

    struct Settings
    {
        // Milliseconds a client may take for a request header (counted from the end of
        // the previous answer on a kept-alive connection), and may stay silent while
        // sending a body.
        int readTimeout = 10000;
        // Bytes per second a body must average once minRateGraceMs have passed since its
        // header was complete; a slower one is answered 408 and the connection closed.
        // 0: no minimum.
        qint64 minBodyRate = 0;
        int minRateGraceMs = 10000;
        HttpRequestParser::Limits limits;
        // Set: connections speak TLS with this context. The handshake must be complete
        // within handshakeTimeout ms of the connection's arrival.
        std::shared_ptr<HttpTlsContext> tls;
        int handshakeTimeout = 10000;
    };

    // What is kept of one connection between the times it is served.
    class Connection
    {
    public:
        explicit Connection(int fd)
            : fd(fd)
        {
        }
        // Sends the TLS closure alert if it can without waiting; the caller closes fd afterwards.
        ~Connection();
        Connection(const Connection &) = delete;
        Connection &operator=(const Connection &) = delete;

        const int fd;
        // While the connection waits for input: when it must have come.
        Clock::time_point deadline;

    private:
        friend class HttpConnectionHandler;
        bool mStarted = false;
        QHostAddress mPeer;
        // Bytes received after the end of the last request.
        QByteArray mPending;
        // The request being received; null between requests.
        std::unique_ptr<HttpRequestParser> mParser;
        Clock::time_point mHeaderDeadline;
        Clock::time_point mBodyStart;
        bool mBodyStarted = false;
        qint64 mBodyBytes = 0;
        bool mContinueSent = false;
        // TLS only: the session, whether its handshake is done, and when it must be.
        ssl_st *mSsl = nullptr;
        bool mHandshaken = false;
        Clock::time_point mHandshakeDeadline;
    };

    enum class Outcome { WaitForInput, Finished };

    HttpConnectionHandler(const Settings &settings, HttpRequestHandler *handler);

    // Serves what the client has sent so far. Never waits for input (a write may wait up to
    // readTimeout for the client to take it). WaitForInput: every byte the client had sent
    // has been read; the connection is to be served again once more arrive, or expired at
    // its deadline. Finished: the caller closes it.
    Outcome serve(Connection &connection);
    // The deadline passed without input: a request begun is answered 408. The caller
    // closes the connection.
    void expire(Connection &connection);

private:
    Outcome serveRequests(Connection &connection);
    // Drives the TLS handshake as far as the client's bytes allow.
    bool handshake(Connection &connection, Outcome &outcome);
    void answerError(const Connection &connection, int status, const QByteArray &reason,
                     const HttpBodyPolicy &refusal = HttpBodyPolicy());
    void lingeringClose(int fd);

    Settings mSettings;
    HttpRequestHandler *mHandler;
};
