#pragma once

#include "HttpRequestParser.h"

#include <functional>

class HttpRequestHandler;

// Serves one accepted TCP connection on the calling thread until the peer closes it,
// an error ends it or it stays silent for readTimeout: reads requests (pipelined ones in
// order), passes each to the request handler and writes the answers. Malformed requests
// get their error status and the connection is closed.
class HttpConnectionHandler
{
public:
    struct Settings
    {
        // Milliseconds a client may take for a request header, and may stay silent
        // while sending a body or between keep-alive requests.
        int readTimeout = 10000;
        // Bytes per second a body must average once minRateGraceMs have passed since its
        // header was complete; a slower one is answered 408 and the connection closed.
        // 0: no minimum.
        qint64 minBodyRate = 0;
        int minRateGraceMs = 10000;
        HttpRequestParser::Limits limits;
    };

    // shouldYield, if given, is asked while a kept-alive connection waits for its next
    // request; when it answers true the connection is closed to free the thread.
    HttpConnectionHandler(const Settings &settings, HttpRequestHandler *handler,
                          std::function<bool()> shouldYield = {});

    // Serves the connection; closes the descriptor before returning.
    void serve(int fd);

private:
    void serveRequests(int fd);
    void answerError(int fd, int status, const QByteArray &reason);
    void lingeringClose(int fd);

    Settings mSettings;
    HttpRequestHandler *mHandler;
    std::function<bool()> mShouldYield;
};
