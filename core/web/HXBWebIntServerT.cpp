#include "web/HXBWebIntServerT.h"

#include "util/HXBStringUtils.h"
#include "web/HXBWebRouter.h"

#include "httpserver/HttpRequest.h"
#include "httpserver/HttpResponse.h"
#include "httpserver/StaticFileController.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSettings>

StaticFileController *HXBWebIntServerT::smFileController = nullptr;

namespace {

const QByteArray &frontEndPrefix()
{
    static const QByteArray prefix = QByteArrayLiteral("/static/hxbwebinterface/");
    return prefix;
}

} // namespace

HXBWebIntServerT::HXBWebIntServerT(QObject *parent, QSettings *settings)
    : HttpRequestHandler(parent)
{
    if (!smFileController) {
        settings->beginGroup("files");
        smFileController = new StaticFileController(settings, parent);
        settings->endGroup();
    }
}

HXBWebIntServerT::~HXBWebIntServerT() = default;

const QByteArray &HXBWebIntServerT::contentSecurityPolicy()
{
    static const QByteArray policy = [] {
        QByteArray scripts = "'self'";
        QFile index(webRoot() + QStringLiteral("/static/hxbwebinterface/index.html"));
        if (index.open(QIODevice::ReadOnly)) {
            const QString html = QString::fromUtf8(index.readAll());
            static const QRegularExpression inlineScript(
                QStringLiteral("<script(?:\\s[^>]*)?>(.*?)</script>"),
                QRegularExpression::DotMatchesEverythingOption
                    | QRegularExpression::CaseInsensitiveOption);
            for (auto it = inlineScript.globalMatch(html); it.hasNext();) {
                const QRegularExpressionMatch match = it.next();
                if (match.captured(0).section(QLatin1Char('>'), 0, 0).contains(QStringLiteral("src=")))
                    continue;
                const QByteArray digest = QCryptographicHash::hash(match.captured(1).toUtf8(),
                                                                   QCryptographicHash::Sha256);
                scripts += " 'sha256-" + digest.toBase64() + "'";
            }
        }
        return "default-src 'self'; script-src " + scripts
               + "; style-src 'self'; img-src 'self' data:; connect-src 'self'; object-src 'none'; "
                 "base-uri 'none'; form-action 'self'; frame-ancestors 'none'";
    }();
    return policy;
}

HttpBodyPolicy HXBWebIntServerT::bodyPolicy(const HttpRequest &request)
{
    const QByteArray path = request.getRawPath();
    if (path.isEmpty() || path == "/" || path.startsWith("/static") || path.startsWith("/alive"))
        return HttpBodyPolicy::limit(HXBRequestHandler::sSmallBodyLimit);
    return HXBWebRouter::instance()->bodyPolicy(S(QString::fromUtf8(path)), request);
}

const QString &HXBWebIntServerT::webRoot()
{
    static const QString root = QCoreApplication::applicationDirPath() + QStringLiteral("/etc/webinterface");
    return root;
}

void HXBWebIntServerT::service(HttpRequest &request, HttpResponse &response)
{
    const QByteArray path = request.getRawPath();

    if (path.isEmpty() || path == "/") {
        response.redirect("/static/hxbwebinterface/");
        return;
    }

    if (path.startsWith("/static")) {
        response.setHeader("Content-Security-Policy", contentSecurityPolicy());
        const QByteArray lastSegment = path.mid(path.lastIndexOf('/') + 1);
        // A path that climbs out with ".." goes straight to the file controller, which refuses
        // it: the existence test below must not become a probe of files outside the web root.
        const bool climbs = HttpRequest::urlDecode(path).split('/').contains("..");
        if (path.startsWith(frontEndPrefix()) && !lastSegment.contains('.') && !climbs) {
            // A route of the single-page front end: its index page answers unless a file
            // or directory of that name exists.
            const QString candidate = webRoot() + QString::fromUtf8(path);
            if (!QFileInfo::exists(candidate)) {
                QFile index(webRoot() + QStringLiteral("/static/hxbwebinterface/index.html"));
                if (index.open(QIODevice::ReadOnly)) {
                    response.setHeader("Content-Type", "text/html; charset=UTF-8");
                    response.write(index.readAll(), true);
                    index.close();
                    return;
                }
            }
        }
        smFileController->service(request, response);
        return;
    }

    if (path.startsWith("/alive")) {
        // One write of the whole answer: sent with its length, in one packet.
        response.write(QByteArrayLiteral("1.1.0"), true);
        return;
    }

    HXBWebRouter::instance()->service(S(QString::fromUtf8(path)), request, response);
}
