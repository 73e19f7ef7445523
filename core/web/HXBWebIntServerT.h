#pragma once

#include "httpserver/HttpRequestHandler.h"

class QSettings;
class StaticFileController;

// The request handler of the web server: redirects "/" to the front end, serves "/static"
// (with the front end's single-page fallback), answers "/alive" and hands everything else
// to the route table. service() runs on many connection threads at once and keeps no state.
class HXBWebIntServerT : public HttpRequestHandler
{
    Q_OBJECT
public:
    // The first instance creates the shared static file controller from group "files".
    HXBWebIntServerT(QObject *parent, QSettings *settings);
    ~HXBWebIntServerT() override;

    void service(HttpRequest &request, HttpResponse &response) override;
    // "/static", "/alive" and "/" take a small body at most; other paths ask the route table.
    HttpBodyPolicy bodyPolicy(const HttpRequest &request) override;

    // The Content-Security-Policy of the front end's files: everything from this server only,
    // no inline code but the inline scripts of the front end's index page (allowed by their
    // SHA-256, read from the file once).
    static const QByteArray &contentSecurityPolicy();

    // Below the application directory: "/etc/webinterface".
    static const QString &webRoot();

private:
    static StaticFileController *smFileController;
};
