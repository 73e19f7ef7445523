#include "WFileAppendThread.h"

#include "log/WFileAppender.h"
#include "log/WFormater.h"
#include "log/WLoggingEvent.h"

#include <QDebug>

namespace WLog {

WFileAppendThread::WFileAppendThread(WFormater *formater, const QString &path,
                                     const QString &fileName, quint32 maxSizeBytes,
                                     quint32 backups)
    : mFile(WFileAppender::prepareFileName(path, fileName))
    , mMaxSize(maxSizeBytes)
    , mBackups(backups)
    , mpFormater(formater)
{
    moveToThread(this);
}

WFileAppendThread::~WFileAppendThread()
{
    QMutexLocker lock(&mWriteMutex);
    if (mpFormater && mLinesWritten > 0)
        writeLineToFile(mpFormater->getLogEndLine());
}

void WFileAppendThread::setFormater(WFormater *formater)
{
    QMutexLocker lock(&mWriteMutex);
    mpFormater = formater;
}

void WFileAppendThread::setMaxSize(quint32 bytes)
{
    QMutexLocker lock(&mWriteMutex);
    mMaxSize = bytes;
}

void WFileAppendThread::setBackups(quint32 backups)
{
    QMutexLocker lock(&mWriteMutex);
    mBackups = backups;
}

void WFileAppendThread::run()
{
    exec();
}

void WFileAppendThread::addEventToFile(const WLoggingEvent &event)
{
    QMutexLocker lock(&mWriteMutex);
    if (mpFormater)
        writeLineToFile(mpFormater->format(event));
}

void WFileAppendThread::writeLineToFile(const QString &line)
{
    if (line.isEmpty())
        return;
    WFileAppender::rollingLogFile(mFile.fileName(), mMaxSize, mBackups);

    const bool existed = mFile.exists();
    if (!mFile.open(QIODevice::WriteOnly | QIODevice::Append)) {
        qDebug().noquote() << QStringLiteral("Cannot open %1!").arg(mFile.fileName());
        return;
    }
    QByteArray out;
    if (!existed && mpFormater)
        out += mpFormater->getInitLine().toUtf8();
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
