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
//
// Statements are written in SQLite's dialect; on a MySQL/MariaDB connection they are sent as
// HXBSqlDialect translates them. When such a server has dropped the connection (timeout,
// restart), the thread's connection is opened again and the statement is sent once more if
// that is safe: outside a transaction, and only if it never reached the server or running it
// twice changes nothing (HXBSqlDialect::isRepeatable). An INSERT outside a transaction is
// preceded by a round trip that finds a dropped connection before the INSERT is sent.
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
    bool onServer() const;
    QString dialectOf(const QString &statement) const;
    // After a failed step: reopens a dropped connection and says whether to repeat the step.
    bool reconnectForRetry(const QString &statement, bool reachedServer);
    void checkBeforeUnrepeatable(const QString &statement);
    // Prepares the statement again on the (reopened) connection, keeping the bound values.
    bool prepareAgain(const QString &statement);

    std::recursive_mutex *mpWriteLock = nullptr;
    QSqlDatabase mDb;
    QString mPrepared;
};
