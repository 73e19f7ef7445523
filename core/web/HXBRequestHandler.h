#pragma once

#include "web/HXBObject.h"

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
};
