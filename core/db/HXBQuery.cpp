#include "HXBQuery.h"

#include "log/HXBLogger.h"
#include "util/HXBStringUtils.h"

#include <QSqlError>

HXBQuery::HXBQuery()
    : QSqlQuery(QString(), QSqlDatabase())
{
}

HXBQuery::HXBQuery(QSqlDatabase db, std::recursive_mutex *writeLock)
    : QSqlQuery(db)
    , mpWriteLock(writeLock)
{
}

HXBQuery::~HXBQuery() = default;

bool HXBQuery::prepare(const QString &statement)
{
    mPrepared = statement;
    if (QSqlQuery::prepare(statement))
        return true;
    warning();
    return false;
}

bool HXBQuery::exec(const QString &statement)
{
    mPrepared.clear();
    if (QSqlQuery::exec(statement))
        return true;
    warning();
    return false;
}

bool HXBQuery::exec()
{
    if (QSqlQuery::exec())
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
        statement = mPrepared;
    const std::string details = "query\n" + S(statement) + "\nreturned an error:\n"
                                + S(lastError().text());
    HXBLogger::instance()->logDebugWarn("HXBQuery", "query returned an error", details);
}
