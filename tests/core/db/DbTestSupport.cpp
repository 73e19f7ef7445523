#include "DbTestSupport.h"

#include "db/HXBDB.h"

#include <QFile>
#include <QProcessEnvironment>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QUrl>
#include <QUuid>
#include <QVariant>

#include <gtest/gtest.h>

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace hxbtest {

StdoutCapture::StdoutCapture()
{
    std::fflush(stdout);
    mPath = mDir.filePath(QStringLiteral("stdout.txt"));
    const int fd = ::open(QFile::encodeName(mPath).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0)
        return;
    mSavedFd = ::dup(1);
    ::dup2(fd, 1);
    ::close(fd);
}

StdoutCapture::~StdoutCapture()
{
    std::fflush(stdout);
    if (mSavedFd >= 0) {
        ::dup2(mSavedFd, 1);
        ::close(mSavedFd);
    }
}

std::string StdoutCapture::text() const
{
    std::fflush(stdout);
    QFile file(mPath);
    if (!file.open(QIODevice::ReadOnly))
        return std::string();
    return file.readAll().toStdString();
}

int countOf(const std::string &haystack, const std::string &needle)
{
    int count = 0;
    for (std::size_t pos = haystack.find(needle); pos != std::string::npos;
         pos = haystack.find(needle, pos + needle.size()))
        ++count;
    return count;
}

namespace {

QUrl server()
{
    return QUrl(QProcessEnvironment::systemEnvironment().value(QStringLiteral("HXB_TEST_DB")));
}

// A connection of its own: to the SQLite file at name, or to the MariaDB database name
// (empty: to the server without a database).
QSqlDatabase addOwnConnection(bool mariadb, const QString &name, const QString &connection)
{
    QSqlDatabase db = QSqlDatabase::addDatabase(mariadb ? QStringLiteral("QMYSQL") : QStringLiteral("QSQLITE"),
                                                connection);
    if (mariadb) {
        db.setHostName(server().host());
        db.setPort(server().port(3306));
        db.setUserName(server().userName());
        db.setPassword(server().password());
    }
    db.setDatabaseName(name);
    return db;
}

QStringList rowsOf(bool mariadb, const QString &name, const QString &statement)
{
    const QString connection = QStringLiteral("observer_") + QUuid::createUuid().toString();
    QStringList rows;
    {
        QSqlDatabase db = addOwnConnection(mariadb, name, connection);
        bool ok = db.open();
        {
            QSqlQuery query(db);
            ok = ok && query.exec(statement);
            while (ok && query.next())
                rows << query.value(0).toString();
        }
        if (!ok)
            rows = QStringList{QStringLiteral("<error>")};
        db.close();
    }
    QSqlDatabase::removeDatabase(connection);
    return rows;
}

} // namespace

TestDatabase::TestDatabase(const QString &fileName)
{
    if (!onMariaDb()) {
        mName = mDir.filePath(fileName);
    } else {
        mName = QStringLiteral("hxbt_") + QUuid::createUuid().toString(QUuid::Id128).left(16);
        const QStringList created = rowsOf(
            true, QString(),
            QStringLiteral("CREATE DATABASE %1 CHARACTER SET utf8mb4 COLLATE utf8mb4_bin").arg(mName));
        if (created == QStringList{QStringLiteral("<error>")})
            ADD_FAILURE() << "cannot create the MariaDB database " << mName.toStdString()
                          << " (is scripts/local-mariadb.sh running?)";
        HXBDB::setServer(server().host().toStdString(), server().port(3306), server().userName().toStdString(),
                         server().password().toStdString());
    }
    use();
}

TestDatabase::~TestDatabase()
{
    HXBDB::disconnect();
    if (onMariaDb())
        rowsOf(true, QString(), QStringLiteral("DROP DATABASE IF EXISTS %1").arg(mName));
}

bool TestDatabase::onMariaDb()
{
    return server().scheme() == QLatin1String("mariadb");
}

void TestDatabase::use() const
{
    HXBDB::setDatabase(onMariaDb() ? 1 : 0, mName.toStdString());
}

void TestDatabase::useUnreachable() const
{
    if (onMariaDb())
        HXBDB::setDatabase(1, (mName + QStringLiteral("_missing")).toStdString());
    else
        HXBDB::setDatabase(0, (mDir.path() + QStringLiteral("/missing/db.sqlite")).toStdString());
}

QStringList TestDatabase::observe(const QString &statement) const
{
    return rowsOf(onMariaDb(), mName, statement);
}

bool TestDatabase::run(const QString &statement) const
{
    return observe(statement) != QStringList{QStringLiteral("<error>")};
}

bool TestDatabase::hasTable(const QString &table) const
{
    const QString statement =
        onMariaDb() ? QStringLiteral("SELECT COUNT(*) FROM information_schema.tables WHERE "
                                     "table_schema = DATABASE() AND table_name = '%1'")
                    : QStringLiteral("SELECT COUNT(*) FROM sqlite_master WHERE type = 'table' AND name = '%1'");
    return observe(statement.arg(table)) == QStringList{QStringLiteral("1")};
}

bool TestDatabase::hasIndex(const QString &index) const
{
    const QString statement =
        onMariaDb() ? QStringLiteral("SELECT COUNT(DISTINCT index_name) FROM information_schema.statistics "
                                     "WHERE table_schema = DATABASE() AND index_name = '%1'")
                    : QStringLiteral("SELECT COUNT(*) FROM sqlite_master WHERE type = 'index' AND name = '%1'");
    return observe(statement.arg(index)) == QStringList{QStringLiteral("1")};
}

QStringList observe(const QString &path, const QString &statement)
{
    return rowsOf(false, path, statement);
}

} // namespace hxbtest
