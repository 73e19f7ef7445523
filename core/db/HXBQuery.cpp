#include "HXBQuery.h"

#include "HXBDB.h"
#include "HXBSqlDialect.h"
#include "log/HXBLogger.h"
#include "util/HXBStringUtils.h"

#include <QSqlDriver>
#include <QSqlError>
#include <QVariant>

HXBQuery::HXBQuery()
    : QSqlQuery(QString(), QSqlDatabase())
{
}

HXBQuery::HXBQuery(QSqlDatabase db, std::recursive_mutex *writeLock)
    : QSqlQuery(db)
    , mpWriteLock(writeLock)
    , mDb(db)
{
}

HXBQuery::~HXBQuery() = default;

bool HXBQuery::onServer() const
{
    return driver() && driver()->dbmsType() == QSqlDriver::MySqlServer;
}

QString HXBQuery::dialectOf(const QString &statement) const
{
    return HXBSqlDialect::translate(onServer() ? HXBSqlDialect::Kind::MariaDB : HXBSqlDialect::Kind::SQLite,
                                    statement);
}

bool HXBQuery::reconnectForRetry(const QString &statement, bool reachedServer)
{
    if (!onServer() || !HXBDB::isConnectionLoss(lastError()))
        return false;
    const bool unsent = !reachedServer || HXBDB::isUnsentLoss(lastError());
    bool transactionLost = false;
    if (!HXBDB::reopen(mDb, &transactionLost))
        return false;
    // The statements before it in the transaction are gone with the connection: running this
    // one alone would commit half a transaction.
    if (transactionLost)
        return false;
    return unsent || HXBSqlDialect::isRepeatable(statement);
}

void HXBQuery::checkBeforeUnrepeatable(const QString &statement)
{
    // A connection the server closed while it was idle is only noticed by the next
    // statement, which would then have an unknown outcome. A statement that must not run
    // twice is therefore preceded by a round trip that finds such a connection first.
    if (!onServer() || HXBSqlDialect::isRepeatable(statement) || transactionCount() != 0)
        return;
    QSqlQuery probe(driver()->createResult());
    if (!probe.exec(QStringLiteral("SELECT 1")) && HXBDB::isConnectionLoss(probe.lastError())) {
        probe.finish();
        bool transactionLost = false;
        if (HXBDB::reopen(mDb, &transactionLost))
            prepareAgain(statement);
    }
}

bool HXBQuery::prepareAgain(const QString &statement)
{
    const QVariantList values = boundValues();
    if (!QSqlQuery::prepare(dialectOf(statement)))
        return false;
    for (const QVariant &value : values)
        addBindValue(value);
    return true;
}

bool HXBQuery::prepare(const QString &statement)
{
    mPrepared = statement;
    if (QSqlQuery::prepare(dialectOf(statement)))
        return true;
    // Preparing runs nothing, so it may always be repeated on a fresh connection.
    if (reconnectForRetry(statement, false) && QSqlQuery::prepare(dialectOf(statement)))
        return true;
    warning();
    return false;
}

bool HXBQuery::exec(const QString &statement)
{
    mPrepared.clear();
    const QString sql = dialectOf(statement);
    if (QSqlQuery::exec(sql))
        return true;
    if (reconnectForRetry(statement, true) && QSqlQuery::exec(sql))
        return true;
    warning();
    return false;
}

bool HXBQuery::exec()
{
    checkBeforeUnrepeatable(mPrepared);
    if (QSqlQuery::exec())
        return true;
    if (reconnectForRetry(mPrepared, true) && prepareAgain(mPrepared) && QSqlQuery::exec())
        return true;
    warning();
    return false;
}

bool HXBQuery::read(const QString &statement)
{
    return exec(statement);
}

bool HXBQuery::read()
{
    return exec();
}

bool HXBQuery::write(const QString &statement)
{
    if (!mpWriteLock)
        return exec(statement);
    std::lock_guard<std::recursive_mutex> lock(*mpWriteLock);
    return exec(statement);
}

bool HXBQuery::write()
{
    if (!mpWriteLock)
        return exec();
    std::lock_guard<std::recursive_mutex> lock(*mpWriteLock);
    return exec();
}

void HXBQuery::warning()
{
    // A statement that failed to prepare may not be recorded as the last query.
    QString statement = lastQuery();
    if (statement.isEmpty())
        statement = dialectOf(mPrepared);
    QString error = lastError().text();
    if (error.trimmed().isEmpty() && (!driver() || !driver()->isOpen()))
        error = QStringLiteral("database not open");
    const std::string details = "query\n" + S(statement) + "\nreturned an error:\n" + S(error);
    HXBLogger::instance()->logDebugWarn("HXBQuery", "query returned an error", details);
}
