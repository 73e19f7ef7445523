#include "WFileAppender.h"

#include "log/WFileAppendThread.h"
#include "log/WFileFormater.h"
#include "log/WLoggingEvent.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>

#include <limits>

namespace WLog {

WFileAppender::WFileAppender(WFormater *formater, const QString &path, const QString &fileName,
                             unsigned maxSizeKiB, unsigned backups, bool threaded)
    : WAppender(formater)
    , mpThread(new WFileAppendThread(formater, path, fileName, kibToBytes(maxSizeKiB), backups))
    , mThreaded(threaded)
    , mMaxSize(kibToBytes(maxSizeKiB))
    , mBackups(backups)
{
    if (mThreaded) {
        connect(this, &WFileAppender::logToFile, mpThread, &WFileAppendThread::addEventToFile,
                Qt::QueuedConnection);
        mpThread->start(QThread::InheritPriority);
    } else {
        mFile.setFileName(prepareFileName(path, fileName));
    }
}

WFileAppender::WFileAppender(const QString &path, const QString &fileName, unsigned maxSizeKiB,
                             unsigned backups, bool threaded)
    : WFileAppender(new WFileFormater(), path, fileName, maxSizeKiB, backups, threaded)
{
}

WFileAppender::~WFileAppender()
{
    if (mThreaded) {
        // Events still queued to the writer would be dropped by quit(): let it drain them first.
        if (mpThread->isRunning())
            QMetaObject::invokeMethod(mpThread, [] {}, Qt::BlockingQueuedConnection);
        mpThread->quit();
        mpThread->wait();
    } else if (mpFormater) {
        writeLineToFile(mpFormater->getLogEndLine());
    }
    delete mpThread; // before the base class deletes the formatter it still uses
    mpThread = nullptr;
}

quint32 WFileAppender::kibToBytes(unsigned kib)
{
    constexpr quint32 maxKib = std::numeric_limits<quint32>::max() / 1024u;
    return kib > maxKib ? std::numeric_limits<quint32>::max() : static_cast<quint32>(kib) * 1024u;
}

QString WFileAppender::prepareFileName(const QString &path, const QString &fileName)
{
    if (path.isEmpty())
        return fileName;
    if (!QDir(path).exists())
        QDir().mkpath(path);
    if (path.endsWith(QLatin1Char('/')))
        return path + fileName;
    return path + QLatin1Char('/') + fileName;
}

void WFileAppender::rollingLogFile(const QString &fileName, quint32 maxSizeBytes, quint32 backups)
{
    if (maxSizeBytes == 0)
        return;
    const QFileInfo info(fileName);
    if (!info.exists() || info.size() <= static_cast<qint64>(maxSizeBytes))
        return;
    auto backup = [&fileName](quint32 k) { return fileName + QLatin1Char('.') + QString::number(k); };
    for (quint32 k = backups; k >= 2; --k) {
        const QString older = backup(k - 1);
        if (QFileInfo::exists(older)) {
            const QString target = backup(k);
            if (QFileInfo::exists(target))
                QFile::remove(target);
            QFile::rename(older, target);
        }
    }
    if (backups != 0) {
        // Only left over with a single backup (or after a failed rename); a rename never
        // replaces a file, so without this the log would stop rolling and grow for ever.
        const QString newest = backup(1);
        if (QFileInfo::exists(newest))
            QFile::remove(newest);
        QFile::rename(fileName, newest);
    }
}

void WFileAppender::setFormater(WFormater *formater)
{
    if (formater == mpFormater)
        return;
    mpThread->setFormater(formater);
    QMutexLocker lock(&mMutex);
    WAppender::setFormater(formater);
}

WFormater *WFileAppender::takeFormater()
{
    mpThread->setFormater(nullptr);
    QMutexLocker lock(&mMutex);
    return WAppender::takeFormater();
}

void WFileAppender::setMaxSize(unsigned kib)
{
    {
        QMutexLocker lock(&mMutex);
        mMaxSize = kibToBytes(kib);
    }
    if (mThreaded)
        mpThread->setMaxSize(kibToBytes(kib));
}

void WFileAppender::setBackups(unsigned backups)
{
    {
        QMutexLocker lock(&mMutex);
        mBackups = backups;
    }
    if (mThreaded)
        mpThread->setBackups(backups);
}

void WFileAppender::handle(const WLoggingEvent &event)
{
    if (mThreaded)
        Q_EMIT logToFile(event);
    else
        addEventToFile(event);
}

void WFileAppender::logDebug(const WLoggingEvent &event)
{
    handle(event);
}

void WFileAppender::logInfo(const WLoggingEvent &event)
{
    handle(event);
}

void WFileAppender::logWarn(const WLoggingEvent &event)
{
    handle(event);
}

void WFileAppender::logError(const WLoggingEvent &event)
{
    handle(event);
}

void WFileAppender::logCritical(const WLoggingEvent &event)
{
    handle(event);
}

void WFileAppender::addEventToFile(const WLoggingEvent &event)
{
    if (mpFormater)
        writeLineToFile(mpFormater->format(event));
}

void WFileAppender::writeLineToFile(const QString &line)
{
    if (line.isEmpty())
        return;
    QMutexLocker lock(&mMutex);
    rollingLogFile(mFile.fileName(), mMaxSize, mBackups);

    const bool existed = mFile.exists();
    if (!mFile.open(QIODevice::WriteOnly | QIODevice::Append)) {
        qDebug().noquote() << QStringLiteral("Cannot open %1!").arg(mFile.fileName());
        return;
    }
    QByteArray out;
    if (!existed && mpFormater)
        out += mpFormater->getInitLine().toUtf8() + '\n';
    else if (mpFormater && mLinesWritten == 0)
        out += mpFormater->getLogStartLine().toUtf8();
    out += line.toUtf8();
    out += '\n';
    mFile.write(out);
    mFile.flush();
    mFile.close();
    ++mLinesWritten;
}

} // namespace WLog
