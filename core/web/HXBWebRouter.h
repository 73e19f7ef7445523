#pragma once

#include "web/HXBRequestHandler.h"

#include <map>
#include <memory>
#include <string>

// Maps the first segment of a request path ("/user") to a handler and passes the rest of
// the path on; a router is itself a handler, so a route of several segments is a chain of
// routers. Routes are registered on the main thread during start-up, before connections
// are accepted, and only read afterwards: there is no lock.
class HXBWebRouter : public HXBRequestHandler
{
public:
    // The root router, created on first call.
    static std::shared_ptr<HXBWebRouter> instance();

    // Answers carry "Cache-Control: no-store": they hold tokens and account or job data.
    void service(const std::string &path, HttpRequest &request, HttpResponse &response) override;
    // The policy of the handler the path leads to; unknown paths get the small limit.
    HttpBodyPolicy bodyPolicy(const std::string &path, const HttpRequest &request) override;
    ~HXBWebRouter() override;

    // Registers under a path of one or more segments, creating nested routers as needed.
    // False (and a warning for a path without leading "/") when it cannot.
    bool registerRoute(const std::string &path, std::shared_ptr<HXBRequestHandler> handler);
    // Registers under one key of this router ("/name"); false when the key is malformed
    // or taken.
    bool registerRouteInternal(const std::string &key, std::shared_ptr<HXBRequestHandler> handler);
    // Removes the key from this router only; false if it is not there.
    bool deregisterRoute(const std::string &key);
    std::shared_ptr<HXBRequestHandler> getRoute(const std::string &key) const;

    // Splits a path at its first "/" after index 0 into key and remainder; without such a
    // "/" both are the whole path.
    static void splitPath(const std::string &path, std::string &key, std::string &remainder);

private:
    std::map<std::string, std::shared_ptr<HXBRequestHandler>> mRoutes;
};
