#include "web/HXBWebRouter.h"

#include "log/HXBLogger.h"

#include "httpserver/HttpResponse.h"

HXBWebRouter::~HXBWebRouter() = default;

std::shared_ptr<HXBWebRouter> HXBWebRouter::instance()
{
    static const std::shared_ptr<HXBWebRouter> root = std::make_shared<HXBWebRouter>();
    return root;
}

void HXBWebRouter::splitPath(const std::string &path, std::string &key, std::string &remainder)
{
    const std::size_t slash = path.size() > 1 ? path.find('/', 1) : std::string::npos;
    if (slash == std::string::npos) {
        key = path;
        remainder = path;
    } else {
        key = path.substr(0, slash);
        remainder = path.substr(slash);
    }
}

void HXBWebRouter::service(const std::string &path, HttpRequest &request, HttpResponse &response)
{
    std::string key;
    std::string remainder;
    splitPath(path, key, remainder);
    const std::shared_ptr<HXBRequestHandler> handler = getRoute(key);
    response.setHeader("Cache-Control", "no-store");
    if (handler) {
        handler->service(remainder, request, response);
        return;
    }
    response.setStatus(404, "NOT FOUND");
}

HttpBodyPolicy HXBWebRouter::bodyPolicy(const std::string &path, const HttpRequest &request)
{
    std::string key;
    std::string remainder;
    splitPath(path, key, remainder);
    const std::shared_ptr<HXBRequestHandler> handler = getRoute(key);
    return handler ? handler->bodyPolicy(remainder, request) : HXBRequestHandler::bodyPolicy(path, request);
}

bool HXBWebRouter::registerRoute(const std::string &path, std::shared_ptr<HXBRequestHandler> handler)
{
    if (path.empty() || path.front() != '/') {
        HXBLogger::instance()->logNormalWarn("FWebRouter: endpoint should start with /", "", "");
        return false;
    }
    HXBWebRouter *current = this;
    std::string remaining = path;
    while (remaining.size() > 1 && remaining.find('/', 1) != std::string::npos) {
        std::string key;
        std::string remainder;
        splitPath(remaining, key, remainder);
        const std::shared_ptr<HXBRequestHandler> stored = current->getRoute(key);
        if (!stored) {
            auto router = std::make_shared<HXBWebRouter>();
            current->registerRouteInternal(key, router);
            current = router.get();
        } else if (auto *router = dynamic_cast<HXBWebRouter *>(stored.get())) {
            current = router;
        } else {
            return false;
        }
        remaining = remainder;
    }
    return current->registerRouteInternal(remaining, std::move(handler));
}

bool HXBWebRouter::registerRouteInternal(const std::string &key, std::shared_ptr<HXBRequestHandler> handler)
{
    if (key.empty() || key.front() != '/') {
        HXBLogger::instance()->logNormalWarn("FWebRouter: endpoint should start with /", key, "");
        return false;
    }
    if (key.find('/', 1) != std::string::npos) {
        HXBLogger::instance()->logNormalWarn("FWebRouter: no slash allowed in endpoint", key, "");
        return false;
    }
    if (!handler)
        return false;
    return mRoutes.emplace(key, std::move(handler)).second;
}

bool HXBWebRouter::deregisterRoute(const std::string &key)
{
    return mRoutes.erase(key) > 0;
}

std::shared_ptr<HXBRequestHandler> HXBWebRouter::getRoute(const std::string &key) const
{
    const auto it = mRoutes.find(key);
    return it == mRoutes.end() ? nullptr : it->second;
}
