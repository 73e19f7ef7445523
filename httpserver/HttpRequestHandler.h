#pragma once

#include "HttpBodyPolicy.h"

#include <QObject>

class HttpRequest;
class HttpResponse;

// Answers requests. service() runs on connection threads, many at once: implementations
// must be thread-safe. The response is completed after service() returns.
class HttpRequestHandler : public QObject
{
    Q_OBJECT
public:
    explicit HttpRequestHandler(QObject *parent = nullptr);
    ~HttpRequestHandler() override;

    // The default answers 501 Not Implemented.
    virtual void service(HttpRequest &request, HttpResponse &response);
    // Asked once a request's header is complete, before its body is read: its body limit or
    // a refusal. Same threads as service(). The default keeps the listener's limits.
    virtual HttpBodyPolicy bodyPolicy(const HttpRequest &request);
};
