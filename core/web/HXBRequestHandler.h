#pragma once

#include "web/HXBObject.h"

#include "httpserver/HttpBodyPolicy.h"

#include <string>

class HttpRequest;
class HttpResponse;

// Base of every REST handler reached through the route table. service() runs on the web
// server's connection threads, many at once.
class HXBRequestHandler : public HXBObject
{
public:
    virtual ~HXBRequestHandler() = default;

    // `path` is what the route table left for this handler: the handler's own key when the
    // request named exactly that key, else the rest of the path from its "/" on.
    virtual void service(const std::string &path, HttpRequest &request, HttpResponse &response) = 0;

    // Bodies of routes that take no upload: a few short fields.
    static constexpr qint64 sSmallBodyLimit = 64 * 1024;

    // Asked with the same path once the request's header is complete, before any of its body
    // is read: the body limit, or a refusal answered at once (bad credentials, say). Only a
    // handler that takes uploads raises the limit, and only for a caller it has authenticated.
    virtual HttpBodyPolicy bodyPolicy(const std::string &path, const HttpRequest &request)
    {
        (void)path;
        (void)request;
        return HttpBodyPolicy::limit(sSmallBodyLimit);
    }
};
