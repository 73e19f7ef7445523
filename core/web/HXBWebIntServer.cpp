#include "web/HXBWebIntServer.h"

#include "config/HXBConfig.h"
#include "db/HXBDB.h"
#include "log/HXBLogger.h"
#include "util/HXBStringUtils.h"
#include "web/HXBWebIntServerT.h"

#include "httpserver/HttpListener.h"

#include <QDir>
#include <QEvent>
#include <QHostAddress>
#include <QSettings>

namespace {

// QSettings belongs to a file and writes its changes there from the event loop. The listener's
// settings only carry values to the library, so they stay in memory: their format reads and
// writes nothing, and the object never syncs (its update requests are swallowed, and it lives
// until the process ends). No file is ever created for them.
bool readNothing(QIODevice &, QSettings::SettingsMap &)
{
    return true;
}

bool writeNothing(QIODevice &, const QSettings::SettingsMap &)
{
    return false;
}

class NoSync : public QObject
{
public:
    using QObject::QObject;
    bool eventFilter(QObject *, QEvent *event) override
    {
        return event->type() == QEvent::UpdateRequest;
    }
};

QSettings *inMemorySettings()
{
    static const QSettings::Format format =
        QSettings::registerFormat(QStringLiteral("hxbmemory"), readNothing, writeNothing);
    auto *settings = new QSettings(QStringLiteral("hxbserver-listener.hxbmemory"), format);
    settings->installEventFilter(new NoSync(settings));
    return settings;
}

QSettings *sSettings = nullptr;

} // namespace

HXBWebIntServer::HXBWebIntServer() = default;

HXBWebIntServer *HXBWebIntServer::instance()
{
    static HXBWebIntServer *const server = new HXBWebIntServer;
    return server;
}

bool HXBWebIntServer::startServer()
{
    HXBWebIntServer *self = instance();
    const int port = HXBConfig::instance()->getPort();
    if (port < 1 || port > 65535) {
        HXBLogger::instance()->logLowWarn("Webinterface", "Startup failed",
                                          "Core/port " + fromNumber(port) + " is not 1 to 65535");
        return false;
    }
    // The listener binds the configured address only; empty or "*" is every local address.
    const QString bindAddress = Q(HXBConfig::instance()->getBindAddress()).trimmed();
    const bool everyAddress = bindAddress.isEmpty() || bindAddress == QLatin1String("*");
    if (!everyAddress && QHostAddress(bindAddress).isNull()) {
        HXBLogger::instance()->logLowWarn("Webinterface", "Startup failed",
                                          "Core/bind_address " + S(bindAddress) + " is not an IP address");
        return false;
    }
    if (!sSettings)
        sSettings = inMemorySettings();

    sSettings->setValue("host", everyAddress ? QString() : bindAddress);
    sSettings->setValue("port", uint(port));
    sSettings->setValue("minThreads", 4);
    sSettings->setValue("maxThreads", 100);
    sSettings->setValue("cleanupInterval", 60000);
    sSettings->setValue("readTimeout", 60000);
    sSettings->setValue("maxRequestSize", 850000000);
    sSettings->setValue("maxMultiPartSize", 850000000);
    // Large bodies are spooled beside the job directories, so that an upload reaches its final
    // name by a rename instead of a second copy.
    const QString spoolDir = Q(HXBConfig::instance()->getDataDir()) + QStringLiteral("spool");
    if (QDir().mkpath(spoolDir))
        sSettings->setValue("tempDir", spoolDir);
    sSettings->beginGroup("files");
    sSettings->setValue("path", HXBWebIntServerT::webRoot());
    sSettings->setValue("encoding", "UTF-8");
    sSettings->setValue("maxAge", 90000);
    sSettings->setValue("cacheTime", 60000);
    sSettings->setValue("cacheSize", 1000000);
    sSettings->setValue("maxCachedFileSize", 65536);
    sSettings->endGroup();

    self->mpRequestHandler = new HXBWebIntServerT(self, sSettings);
    self->mpListener = new HttpListener(sSettings, self->mpRequestHandler, self);
    self->mpListener->setDestructionCallback([] { HXBDB::threadFinished(); });

    if (self->mpListener->isListening()) {
        const QHostAddress bound = self->mpListener->serverAddress();
        const std::string where = bound == QHostAddress::Any ? std::string("every address")
                                                             : S(bound.toString());
        HXBLogger::instance()->logLowInfo("Webinterface", "Startup successful ",
                                          "port: " + fromNumber(port) + ", address: " + where);
        return true;
    }
    HXBLogger::instance()->logLowWarn("Webinterface", "Startup failed",
                                      S(self->mpListener->errorString()));
    return false;
}

bool HXBWebIntServer::stopServer()
{
    HXBWebIntServer *self = instance();
    if (!self->mpListener)
        return true;
    self->mpListener->close();
    self->mpListener->deleteLater();
    self->mpRequestHandler->deleteLater();
    self->mpListener = nullptr;
    self->mpRequestHandler = nullptr;
    return true;
}

bool HXBWebIntServer::isStarted() const
{
    return mpListener && mpListener->isListening();
}

bool HXBWebIntServer::isServerRunning()
{
    return instance()->isStarted();
}
