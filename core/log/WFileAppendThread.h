#pragma once

#include <QFile>
#include <QMutex>
#include <QThread>

namespace WLog {

class WFormater;
class WLoggingEvent;

// Writer thread of a threaded WFileAppender. Lives in its own thread: events reach
// addEventToFile through a queued connection and are written one at a time under the write
// mutex. Does not own the formatter; the appender keeps it alive longer than this object.
class WFileAppendThread : public QThread
{
    Q_OBJECT
public:
    WFileAppendThread(WFormater *formater, const QString &path, const QString &fileName,
                      quint32 maxSizeBytes, quint32 backups);
    // The thread must have finished. Writes the formatter's end line if a line was written.
    ~WFileAppendThread() override;

    // Waits for a line being written; the previous formatter is no longer used afterwards.
    void setFormater(WFormater *formater);
    void setMaxSize(quint32 bytes);
    void setBackups(quint32 backups);
    QString getFileName() const { return mFile.fileName(); }

    // Caller holds the write mutex.
    virtual void writeLineToFile(const QString &line);

public Q_SLOTS:
    virtual void addEventToFile(const WLog::WLoggingEvent &event);

protected:
    void run() override;

private:
    QFile mFile;
    QMutex mWriteMutex; // guards the file, the limits and the line count
    quint32 mMaxSize = 0;
    quint32 mBackups = 0;
    WFormater *mpFormater = nullptr;
    int mLinesWritten = 0;
};

} // namespace WLog
