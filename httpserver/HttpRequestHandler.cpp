#include "HttpRequestHandler.h"

#include "HttpRequest.h"
#include "HttpResponse.h"

HttpRequestHandler::HttpRequestHandler(QObject *parent)
    : QObject(parent)
{
}

HttpRequestHandler::~HttpRequestHandler() = default;

void HttpRequestHandler::service(HttpRequest &, HttpResponse &response)
{
    response.setStatus(501, "Not Implemented");
    response.write("501 not implemented", true);
}

HttpBodyPolicy HttpRequestHandler::bodyPolicy(const HttpRequest &)
{
    return {};
}
