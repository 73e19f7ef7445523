#include "StaticFileController.h"

#include "HttpRequest.h"
#include "HttpResponse.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>

namespace {

qint64 readNumber(const QSettings *settings, const char *key, qint64 fallback)
{
    bool ok = false;
    const qint64 value = settings->value(QLatin1String(key)).toLongLong(&ok);
    return ok ? value : fallback;
}

} // namespace

StaticFileController::StaticFileController(const QSettings *settings, QObject *parent)
    : HttpRequestHandler(parent)
{
    QString path = QStringLiteral(".");
    qint64 cacheSize = 1000000;
    mEncoding = "UTF-8";
    if (settings) {
        path = settings->value(QStringLiteral("path"), path).toString();
        mEncoding = settings->value(QStringLiteral("encoding"), QStringLiteral("UTF-8")).toString().toLatin1();
        mMaxAge = qMax<qint64>(0, readNumber(settings, "maxAge", mMaxAge));
        mCacheTime = qMax<qint64>(0, readNumber(settings, "cacheTime", mCacheTime));
        cacheSize = qMax<qint64>(0, readNumber(settings, "cacheSize", cacheSize));
        mMaxCachedFileSize = qMax<qint64>(0, readNumber(settings, "maxCachedFileSize", mMaxCachedFileSize));
    }
    if (QDir::isRelativePath(path))
        path = QCoreApplication::applicationDirPath() + QLatin1Char('/') + path;
    mRoot = QDir::cleanPath(path);
    mCanonicalRoot = QFileInfo(mRoot).canonicalFilePath();
    mCache.setMaxCost(qsizetype(qMin<qint64>(cacheSize, std::numeric_limits<qsizetype>::max())));
    mClock.start();
}

void StaticFileController::answer(HttpResponse &response, int status, const QByteArray &reason)
{
    response.setStatus(status, reason);
    response.setHeader("Content-Type", "text/plain; charset=UTF-8");
    response.write(QByteArray::number(status) + ' ' + reason.toLower(), true);
}

void StaticFileController::service(HttpRequest &request, HttpResponse &response)
{
    const QByteArray decoded = request.getPath();
    // A decoded path may carry anything a client can percent-encode; refuse what could
    // step out of the root or confuse the file system.
    if (!decoded.startsWith('/') || decoded.contains('\0') || decoded.contains('\\')) {
        answer(response, 400, "Bad Request");
        return;
    }
    const QList<QByteArray> segments = decoded.split('/');
    for (const QByteArray &segment : segments) {
        if (segment == "..") {
            answer(response, 403, "Forbidden");
            return;
        }
    }
    const QString relative = QString::fromUtf8(decoded);
    if (relative.toUtf8() != decoded) {
        answer(response, 400, "Bad Request");
        return;
    }
    QString fileName = QDir::cleanPath(mRoot + relative);

    const qint64 now = mClock.elapsed();
    {
        QMutexLocker lock(&mCacheMutex);
        if (CacheEntry *entry = mCache.object(fileName)) {
            if (mCacheTime == 0 || now - entry->created < mCacheTime) {
                response.setHeader("Content-Type", entry->contentType);
                response.setHeader("Cache-Control", "max-age=" + QByteArray::number(mMaxAge / 1000));
                const QByteArray document = entry->document;
                lock.unlock();
                response.write(document, true);
                return;
            }
            mCache.remove(fileName);
        }
    }

    QFileInfo info(fileName);
    if (info.isDir()) {
        fileName += QStringLiteral("/index.html");
        info.setFile(fileName);
    }
    if (!info.exists() || !info.isFile()) {
        answer(response, 404, "Not Found");
        return;
    }
    const QString canonical = info.canonicalFilePath();
    if (mCanonicalRoot.isEmpty()
        || !(canonical.startsWith(mCanonicalRoot + QLatin1Char('/')))) {
        answer(response, 403, "Forbidden");
        return;
    }
    QFile file(canonical);
    if (!file.open(QIODevice::ReadOnly)) {
        answer(response, 403, "Forbidden");
        return;
    }
    const QByteArray contentType = contentTypeFor(fileName, mEncoding);
    response.setHeader("Content-Type", contentType);
    response.setHeader("Cache-Control", "max-age=" + QByteArray::number(mMaxAge / 1000));
    const qint64 size = file.size();
    if (size <= mMaxCachedFileSize) {
        const QByteArray document = file.read(size);
        response.write(document, true);
        if (document.size() == size && size < mCache.maxCost()) {
            auto *entry = new CacheEntry{document, contentType, now};
            QMutexLocker lock(&mCacheMutex);
            mCache.insert(QDir::cleanPath(mRoot + relative), entry, qsizetype(qMax<qint64>(1, size)));
        }
        return;
    }
    // Larger files go from the page cache to the socket without passing through here; a
    // HEAD answer carries the header only and the file is not read.
    response.writeFile(file.handle(), 0, size);
}

QByteArray StaticFileController::contentTypeFor(const QString &fileName, const QByteArray &encoding)
{
    const QString suffix = QFileInfo(fileName).suffix().toLower();
    const QByteArray charset = "; charset=" + encoding;
    static const QHash<QString, QByteArray> sText = {
        {QStringLiteral("html"), "text/html"},
        {QStringLiteral("htm"), "text/html"},
        {QStringLiteral("css"), "text/css"},
        {QStringLiteral("js"), "text/javascript"},
        {QStringLiteral("mjs"), "text/javascript"},
        {QStringLiteral("txt"), "text/plain"},
        {QStringLiteral("csv"), "text/csv"},
        {QStringLiteral("xml"), "text/xml"},
        {QStringLiteral("svg"), "image/svg+xml"},
        {QStringLiteral("json"), "application/json"},
        {QStringLiteral("map"), "application/json"},
    };
    static const QHash<QString, QByteArray> sBinary = {
        {QStringLiteral("png"), "image/png"},
        {QStringLiteral("jpg"), "image/jpeg"},
        {QStringLiteral("jpeg"), "image/jpeg"},
        {QStringLiteral("gif"), "image/gif"},
        {QStringLiteral("webp"), "image/webp"},
        {QStringLiteral("ico"), "image/x-icon"},
        {QStringLiteral("pdf"), "application/pdf"},
        {QStringLiteral("zip"), "application/zip"},
        {QStringLiteral("gz"), "application/gzip"},
        {QStringLiteral("wasm"), "application/wasm"},
        {QStringLiteral("woff"), "font/woff"},
        {QStringLiteral("woff2"), "font/woff2"},
        {QStringLiteral("ttf"), "font/ttf"},
        {QStringLiteral("otf"), "font/otf"},
    };
    const auto text = sText.constFind(suffix);
    if (text != sText.constEnd())
        return text.value() + charset;
    return sBinary.value(suffix, "application/octet-stream");
}
