#pragma once

#include <QTcpServer>

#include <functional>

#include <memory>

class HttpConnectionHandlerPool;
class HttpTlsContext;
class HttpRequestHandler;
class QSettings;

// Accepts HTTP connections and hands them to its pool, whose threads pass every request
// to the request handler; a connection holds a thread only while it has input to serve.
// Configured from the current group of `settings` when constructed (values in ms and bytes):
//   port (required), host (default: every local address), minThreads (1), maxThreads (100:
//   threads serving at once), cleanupInterval (1000: idle threads above minThreads end),
//   readTimeout (10000: for a request header, counted from the end of the previous answer
//   on a kept-alive connection, and for each silence within a body), maxRequestSize (16000),
//   maxMultiPartSize (1000000), maxHeaderSize (16384), maxWaitTime (10000: a new connection
//   waits this long for a free thread, then gets 503), maxPending (1000: new connections
//   waiting at once; more get 503), spoolThreshold (1048576), tempDir (system temporary directory),
//   maxSpoolTotal (4 GiB: bodies spooled at once by all connections together; a body that
//   would pass it gets 503), minFreeSpace (64 MiB: kept free in tempDir besides a body to be
//   spooled; else 503), minBodyRate (1024: bytes per second a body must average once
//   minRateGraceTime (10000) has passed since its header; a slower one gets 408),
//   handshakeTimeout (10000: HTTPS only, for the TLS handshake of a new connection).
// The constructor binds and listens; isListening() tells whether that worked.
// Lives on the thread that creates it (the main thread): new connections are accepted
// only while that thread runs its event loop.
class HttpListener : public QTcpServer
{
    Q_OBJECT
public:
    HttpListener(const QSettings *settings, HttpRequestHandler *requestHandler,
                 QObject *parent = nullptr);
    // The same, speaking HTTPS with `tls` on `port` instead of the configured port.
    HttpListener(const QSettings *settings, HttpRequestHandler *requestHandler,
                 std::shared_ptr<HttpTlsContext> tls, quint16 port, QObject *parent = nullptr);
    // Closes the socket, ends every connection and joins the pool's threads.
    ~HttpListener() override;

    // Binds and listens (again after close()).
    bool listen();
    // Stops accepting; connections in progress are ended, threads joined.
    void close();

    // Runs on each pool thread as it ends, on that thread. Set it before the
    // first connection arrives to be sure every thread runs it.
    void setDestructionCallback(std::function<void()> callback);

    HttpConnectionHandlerPool *pool() const { return mPool; }

protected:
    void incomingConnection(qintptr socketDescriptor) override;

private:
    void configure(const QSettings *settings);
    void createPool();

    HttpRequestHandler *mRequestHandler;
    HttpConnectionHandlerPool *mPool = nullptr;
    std::function<void()> mDestructionCallback;
    QString mHost;
    quint16 mPort = 0;
    struct Config;
    std::unique_ptr<Config> mConfig;
};
