#include "web/HXBWebIntServer.h"

#include "config/HXBConfig.h"
#include "db/HXBDB.h"
#include "log/HXBLogger.h"
#include "util/HXBStringUtils.h"
#include "web/HXBWebIntServerT.h"

#include "httpserver/HttpListener.h"
#include "httpserver/HttpTls.h"

#include <QDir>
#include <QEvent>
#include <QHostAddress>
#include <QSettings>
#include <QSocketNotifier>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

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

// SIGHUP reaches the event loop through a pipe: the handler only writes a byte.
int sHangupPipe[2] = {-1, -1};

void onHangup(int)
{
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(sHangupPipe[1], &byte, 1);
    errno = saved;
}

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
        self->startTls(everyAddress ? QString() : bindAddress);
        // Always: a reload (SIGHUP) must never end the service, HTTPS or not.
        self->watchHangup();
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
    if (self->mpTlsListener) {
        self->mpTlsListener->close();
        self->mpTlsListener->deleteLater();
        self->mpTlsListener = nullptr;
    }
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

void HXBWebIntServer::startTls(const QString &host)
{
    const QSettings *config = HXBConfig::instance()->getSettings();
    const QString portText = config->value(QStringLiteral("Core/tls_port")).toString().trimmed();
    const QString certificate = config->value(QStringLiteral("Core/tls_certificate")).toString().trimmed();
    const QString key = config->value(QStringLiteral("Core/tls_key")).toString().trimmed();
    if (portText.isEmpty() && certificate.isEmpty() && key.isEmpty())
        return; // HTTPS is off
    bool ok = false;
    const int port = portText.toInt(&ok);
    if (!ok || port < 1 || port > 65535 || port == HXBConfig::instance()->getPort()) {
        HXBLogger::instance()->logLowWarn("Webinterface", "HTTPS startup failed",
                                          "Core/tls_port " + S(portText)
                                              + " is not 1 to 65535 or is the HTTP port");
        return;
    }
    if (certificate.isEmpty() || key.isEmpty()) {
        HXBLogger::instance()->logLowWarn("Webinterface", "HTTPS startup failed",
                                          "Core/tls_certificate and Core/tls_key are both needed");
        return;
    }
    QString error;
    mTls = HttpTlsContext::create(certificate, key, &error);
    if (!mTls) {
        HXBLogger::instance()->logLowWarn("Webinterface", "HTTPS startup failed", S(error));
        return;
    }
    // TLS writes go through write(2): a client gone must end the write, not the process.
    ::signal(SIGPIPE, SIG_IGN);
    sSettings->setValue("host", host);
    bool timeoutOk = false;
    const int handshakeTimeout = config->value(QStringLiteral("Core/tls_handshake_timeout")).toInt(&timeoutOk);
    sSettings->setValue("handshakeTimeout", timeoutOk && handshakeTimeout > 0 ? handshakeTimeout : 10000);
    mpTlsListener = new HttpListener(sSettings, mpRequestHandler, mTls, quint16(port), this);
    mpTlsListener->setDestructionCallback([] { HXBDB::threadFinished(); });
    if (!mpTlsListener->isListening()) {
        HXBLogger::instance()->logLowWarn("Webinterface", "HTTPS startup failed",
                                          "port " + fromNumber(port) + ": "
                                              + S(mpTlsListener->errorString()));
        delete mpTlsListener;
        mpTlsListener = nullptr;
        mTls.reset();
        return;
    }
    HXBLogger::instance()->logLowInfo("Webinterface", "HTTPS startup successful ",
                                      "port: " + fromNumber(port) + ", certificate: " + S(certificate));
}

void HXBWebIntServer::watchHangup()
{
    if (mpHangup)
        return;
    if (::pipe2(sHangupPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        HXBLogger::instance()->logLowWarn("Webinterface", "HTTPS certificate reload unavailable",
                                          "no pipe for SIGHUP");
        return;
    }
    mpHangup = new QSocketNotifier(sHangupPipe[0], QSocketNotifier::Read, this);
    connect(mpHangup, &QSocketNotifier::activated, this, [this] {
        char sink[64];
        while (::read(sHangupPipe[0], sink, sizeof(sink)) > 0) {
        }
        reloadTls();
    });
    struct sigaction action{};
    action.sa_handler = onHangup;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGHUP, &action, nullptr);
}

void HXBWebIntServer::reloadTls()
{
    if (!mTls) {
        HXBLogger::instance()->logLowInfo("Webinterface", "SIGHUP: no HTTPS certificate to reload", "");
        return;
    }
    QString error;
    if (mTls->reload(&error)) {
        HXBLogger::instance()->logLowInfo("Webinterface", "HTTPS certificate reloaded", "");
    } else {
        HXBLogger::instance()->logLowWarn("Webinterface", "HTTPS certificate reload failed, the old one stays",
                                          S(error));
    }
}
