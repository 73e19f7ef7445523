#pragma once

#include "HttpRequestHandler.h"

#include <QCache>
#include <QElapsedTimer>
#include <QMutex>
#include <QString>

class QSettings;

// Serves the files below a root directory. Configured from the current group of
// `settings`: path (the root; relative paths are taken from the application directory),
// encoding (charset of text files, default UTF-8), maxAge (ms, for Cache-Control, default
// 60000), cacheTime (ms a file stays cached, 0 = until evicted, default 60000), cacheSize
// (bytes of the in-memory cache, default 1000000), maxCachedFileSize (bytes, default 65536).
// The request path names the file below the root; a directory serves its index.html.
// Nothing outside the root is ever served: ".." segments (also percent-encoded) are refused
// with 403, and files whose real path (symbolic links resolved) leaves the root get 403.
// Missing files get 404. service() may run on many threads at once; the cache has its own lock.
class StaticFileController : public HttpRequestHandler
{
    Q_OBJECT
public:
    explicit StaticFileController(const QSettings *settings, QObject *parent = nullptr);

    void service(HttpRequest &request, HttpResponse &response) override;

    QString rootPath() const { return mRoot; }
    static QByteArray contentTypeFor(const QString &fileName, const QByteArray &encoding);

private:
    struct CacheEntry
    {
        QByteArray document;
        QByteArray contentType;
        qint64 created = 0;
    };

    void answer(HttpResponse &response, int status, const QByteArray &reason);

    QString mRoot;
    QString mCanonicalRoot;
    QByteArray mEncoding;
    qint64 mMaxAge = 60000;
    qint64 mCacheTime = 60000;
    qint64 mMaxCachedFileSize = 65536;
    QMutex mCacheMutex; // guards mCache
    QCache<QString, CacheEntry> mCache;
    QElapsedTimer mClock;
};
