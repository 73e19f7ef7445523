#pragma once

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>

#include <mutex>

// A QSqlQuery that logs every failed statement and runs writes under a write lock.
//
// Obtain one from HXBDB::getQuery() (bound to the calling thread's connection and to
// dbMutex). SELECTs go through read(), statements that change data or schema through
// write(); values are bound positionally with addBindValue(). A failed prepare or exec
// returns false after one debug-warning log entry ("HXBQuery" / "query returned an error",
// details "query\n<statement>\nreturned an error:\n<driver error>"); nothing is thrown.
// A query belongs to the thread that obtained it.
class HXBQuery : public QSqlQuery
{
public:
    // A query on no database; writes take no lock.
    HXBQuery();
    // writeLock is not owned and may be null (writes then take no lock).
    HXBQuery(QSqlDatabase db, std::recursive_mutex *writeLock);
    virtual ~HXBQuery();
    HXBQuery(const HXBQuery &) = default;
    HXBQuery &operator=(const HXBQuery &) = default;

    bool prepare(const QString &statement);
    bool exec(const QString &statement);
    bool exec();

    // Without lock.
    bool read(const QString &statement);
    bool read();
    // Under the write lock, held for this one statement only.
    bool write(const QString &statement);
    bool write();

    // Logs the last error of this query.
    void warning();

private:
    std::recursive_mutex *mpWriteLock = nullptr;
    QString mPrepared;
};
