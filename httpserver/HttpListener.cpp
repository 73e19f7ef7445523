#include "HttpListener.h"

#include "HttpConnectionHandlerPool.h"
#include "HttpSpoolBudget.h"

#include <QSettings>
#include <QTimer>

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <limits>

struct HttpListener::Config
{
    HttpConnectionHandlerPool::Settings pool;
};

namespace {

qint64 readNumber(const QSettings *settings, const char *key, qint64 fallback, qint64 low, qint64 high)
{
    bool ok = false;
    const qint64 value = settings->value(QLatin1String(key)).toLongLong(&ok);
    return std::clamp(ok ? value : fallback, low, high);
}

} // namespace

HttpListener::HttpListener(const QSettings *settings, HttpRequestHandler *requestHandler,
                           QObject *parent)
    : QTcpServer(parent)
    , mRequestHandler(requestHandler)
    , mConfig(std::make_unique<Config>())
{
    configure(settings);
    listen();
}

HttpListener::HttpListener(const QSettings *settings, HttpRequestHandler *requestHandler,
                           std::shared_ptr<HttpTlsContext> tls, quint16 port, QObject *parent)
    : QTcpServer(parent)
    , mRequestHandler(requestHandler)
    , mConfig(std::make_unique<Config>())
{
    configure(settings);
    mPort = port;
    mConfig->pool.connection.tls = std::move(tls);
    listen();
}

void HttpListener::configure(const QSettings *settings)
{
    HttpConnectionHandlerPool::Settings &s = mConfig->pool;
    if (settings) {
        mHost = settings->value(QStringLiteral("host")).toString();
        mPort = quint16(readNumber(settings, "port", 0, 0, 65535));
        s.minThreads = int(readNumber(settings, "minThreads", 1, 0, 10000));
        s.maxThreads = int(readNumber(settings, "maxThreads", 100, 1, 10000));
        s.cleanupInterval = int(readNumber(settings, "cleanupInterval", 1000, 1, INT_MAX));
        s.maxWaitTime = int(readNumber(settings, "maxWaitTime", 10000, 0, INT_MAX));
        s.maxPending = int(readNumber(settings, "maxPending", 1000, 0, 1000000));
        s.connection.readTimeout = int(readNumber(settings, "readTimeout", 10000, 1, INT_MAX));
        s.connection.handshakeTimeout = int(readNumber(settings, "handshakeTimeout", 10000, 1, INT_MAX));
        s.connection.minBodyRate = readNumber(settings, "minBodyRate", 1024, 0, std::numeric_limits<qint64>::max());
        s.connection.minRateGraceMs = int(readNumber(settings, "minRateGraceTime", 10000, 0, INT_MAX));
        auto &limits = s.connection.limits;
        limits.maxRequestSize = readNumber(settings, "maxRequestSize", 16000, 0, std::numeric_limits<qint64>::max());
        limits.maxMultiPartSize = readNumber(settings, "maxMultiPartSize", 1000000, 0, std::numeric_limits<qint64>::max());
        limits.maxHeaderSize = readNumber(settings, "maxHeaderSize", 16384, 256, 1 << 24);
        limits.spoolThreshold = readNumber(settings, "spoolThreshold", 1024 * 1024, 0, std::numeric_limits<qint64>::max());
        limits.tempDir = settings->value(QStringLiteral("tempDir")).toString();
        limits.minFreeSpace = readNumber(settings, "minFreeSpace", 64LL << 20, 0, std::numeric_limits<qint64>::max());
        limits.spoolBudget = std::make_shared<HttpSpoolBudget>(
            readNumber(settings, "maxSpoolTotal", 4LL << 30, 0, std::numeric_limits<qint64>::max()));
    }
    s.minThreads = qMin(s.minThreads, s.maxThreads);
    // Bursts of connections queue in the kernel rather than being refused there.
    setListenBacklogSize(1024);
    // Qt stops accepting after an error it does not take for temporary (out of descriptors):
    // try again shortly, so that the server does not go deaf for good.
    connect(this, &QTcpServer::acceptError, this, [this](QAbstractSocket::SocketError) {
        QTimer::singleShot(100, this, [this] {
            if (isListening())
                resumeAccepting();
        });
    });
}

HttpListener::~HttpListener()
{
    close();
}

void HttpListener::createPool()
{
    if (mPool)
        return;
    mPool = new HttpConnectionHandlerPool(mConfig->pool, mRequestHandler, this);
    if (mDestructionCallback)
        mPool->setDestructionCallback(mDestructionCallback);
}

bool HttpListener::listen()
{
    if (isListening())
        return true;
    const QHostAddress address = mHost.isEmpty() ? QHostAddress(QHostAddress::Any)
                                                 : QHostAddress(mHost);
    if (!QTcpServer::listen(address, mPort))
        return false;
    createPool();
    return true;
}

void HttpListener::close()
{
    QTcpServer::close();
    delete mPool;
    mPool = nullptr;
}

void HttpListener::setDestructionCallback(std::function<void()> callback)
{
    mDestructionCallback = std::move(callback);
    if (mPool)
        mPool->setDestructionCallback(mDestructionCallback);
}

void HttpListener::incomingConnection(qintptr socketDescriptor)
{
    if (!mPool) {
        ::close(int(socketDescriptor));
        return;
    }
    mPool->handleConnection(int(socketDescriptor));
}
