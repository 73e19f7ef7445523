#pragma once

#include "log/WAppender.h"

#include <QFile>
#include <QMutex>
#include <QString>

namespace WLog {

class WFileAppendThread;

// Appends one formatted line per event to a file, opening and closing it for every line.
// A file that has grown past the maximum size is rolled over before the next line: backup k
// of "log.html" is "log.html.k", 1 the newest. In threaded mode the lines are written by a
// writer thread of its own (WFileAppendThread); otherwise by the thread delivering the event,
// serialised by the appender's mutex. A file that cannot be opened loses the line and is
// reported on Qt's debug output.
class WFileAppender : public WAppender
{
    Q_OBJECT
public:
    // Takes ownership of `formater`. `path` empty: the file is relative to the working
    // directory; otherwise the directory is created with all missing parents.
    WFileAppender(WFormater *formater, const QString &path, const QString &fileName,
                  unsigned maxSizeKiB, unsigned backups, bool threaded);
    // With a WFileFormater without application name.
    WFileAppender(const QString &path, const QString &fileName, unsigned maxSizeKiB,
                  unsigned backups, bool threaded);
    // Not threaded: writes the formatter's end line. Threaded: lets the writer write what is
    // queued, then stops it and waits for it. Must not run on the writer thread.
    ~WFileAppender() override;

    // The writer thread stops using the old formatter before it is deleted or handed out.
    void setFormater(WFormater *formater) override;
    WFormater *takeFormater() override;

    void setMaxSize(unsigned kib);
    void setBackups(unsigned backups);
    quint32 getMaxSize() const { return mMaxSize; }
    quint32 getBackups() const { return mBackups; }
    bool isThreaded() const { return mThreaded; }
    // The path of the log file as written to (relative when the path was empty).
    QString getFileName() const { return mFile.fileName(); }

    virtual void writeLineToFile(const QString &line);
    virtual void addEventToFile(const WLog::WLoggingEvent &event);

    // Rolls `fileName` into its numbered backups if it is larger than maxSizeBytes (0: never).
    // Failed renames and deletes are ignored. The caller serialises calls for one file.
    static void rollingLogFile(const QString &fileName, quint32 maxSizeBytes, quint32 backups);
    // The directory (created if missing) joined with the file name.
    static QString prepareFileName(const QString &path, const QString &fileName);
    static quint32 kibToBytes(unsigned kib);

Q_SIGNALS:
    void logToFile(const WLog::WLoggingEvent &event);

public Q_SLOTS:
    void logDebug(const WLog::WLoggingEvent &event) override;
    void logInfo(const WLog::WLoggingEvent &event) override;
    void logWarn(const WLog::WLoggingEvent &event) override;
    void logError(const WLog::WLoggingEvent &event) override;
    void logCritical(const WLog::WLoggingEvent &event) override;

private:
    void handle(const WLoggingEvent &event);

    WFileAppendThread *mpThread = nullptr;
    bool mThreaded = false;
    QFile mFile;
    quint32 mMaxSize = 0;
    quint32 mBackups = 0;
    int mLinesWritten = 0;
    QMutex mMutex; // guards the file and the line count
};

} // namespace WLog
