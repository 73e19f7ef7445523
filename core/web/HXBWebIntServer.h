#pragma once

#include <QObject>

class HttpListener;
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
    // Closes the listener and schedules the listener and the handler for deletion.
    static bool stopServer();
    static bool isServerRunning();

    bool isStarted() const;
    HttpListener *getListener() const { return mpListener; }

private:
    HXBWebIntServer();

    HttpListener *mpListener = nullptr;
    HXBWebIntServerT *mpRequestHandler = nullptr;
};
