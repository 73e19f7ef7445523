#pragma once

#include <QObject>

#include <memory>

class HttpListener;
class HttpTlsContext;
class QSocketNotifier;
class HXBWebIntServerT;

// Owns the HTTP listener of the job server. A singleton on the main thread; startServer()
// is called once during start-up (before the event loop runs, so that connections are
// accepted only after every module has registered its routes).
class HXBWebIntServer : public QObject
{
    Q_OBJECT
public:
    static HXBWebIntServer *instance();

    // Configures and starts the listener on "Core/port"; true when it listens. A failed
    // bind is logged and leaves the objects in place; a port outside 1 to 65535 is logged as
    // a failed start and makes no objects. Main thread only.
    static bool startServer();
    // With "Core/tls_port", "Core/tls_certificate" (PEM chain) and "Core/tls_key" (PEM) set,
    // a second listener serves the same routes over HTTPS on the same address; SIGHUP reads
    // the pair again (a bad new pair is logged and the old one kept). "Core/tls_handshake_timeout"
    // (ms, 10000) bounds a client's TLS handshake. A failed TLS set-up is
    // logged and leaves the HTTP listener alone.
    // Closes the listeners and schedules the listener and the handler for deletion.
    static bool stopServer();
    static bool isServerRunning();

    bool isStarted() const;
    HttpListener *getListener() const { return mpListener; }
    HttpListener *getTlsListener() const { return mpTlsListener; }
    // Reads the certificate and key again; new connections use them. Main thread only.
    void reloadTls();

private:
    HXBWebIntServer();
    void startTls(const QString &host);
    void watchHangup();

    HttpListener *mpListener = nullptr;
    HXBWebIntServerT *mpRequestHandler = nullptr;
    HttpListener *mpTlsListener = nullptr;
    std::shared_ptr<HttpTlsContext> mTls;
    QSocketNotifier *mpHangup = nullptr;
};
