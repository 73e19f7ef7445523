#include "HXBSqlDialect.h"

#include <QRegularExpression>

#include <array>
#include <utility>

namespace {

#define HXB_MARIADB_TABLE " ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_bin;"

// SQLite statement (byte for byte as the code writes it) -> MariaDB statement.
// - INTEGER PRIMARY KEY is an alias of SQLite's rowid and numbers itself; MariaDB needs
//   AUTO_INCREMENT, and INSERT ... DEFAULT VALUES is spelt "() VALUES ()".
// - Keyless SQLite tables keep the implicit rowid that the job store orders and thins by;
//   on MariaDB they get a real column of that name.
// - '==' is SQLite's; an index on a MEDIUMTEXT column needs a prefix length.
constexpr std::array<std::pair<const char *, const char *>, 12> sStatements{{
    {"CREATE TABLE IF NOT EXISTS USERS (mId INTEGER PRIMARY KEY ,mType INTEGER ,mUsername "
     "MEDIUMTEXT, mPassword MEDIUMTEXT );",
     "CREATE TABLE IF NOT EXISTS USERS (mId INTEGER PRIMARY KEY AUTO_INCREMENT, mType INTEGER, "
     "mUsername MEDIUMTEXT, mPassword MEDIUMTEXT)" HXB_MARIADB_TABLE},
    {"INSERT INTO USERS DEFAULT VALUES;", "INSERT INTO USERS () VALUES ();"},
    {"CREATE TABLE IF NOT EXISTS USERIDS (lastId INTEGER);",
     "CREATE TABLE IF NOT EXISTS USERIDS (lastId INTEGER)" HXB_MARIADB_TABLE},
    {"SELECT mUsername, mPassword, mType FROM USERS WHERE mId == ?;",
     "SELECT mUsername, mPassword, mType FROM USERS WHERE mId = ?;"},
    {"CREATE TABLE IF NOT EXISTS BatchbayJOBS (slurmId INTEGER ,jobId MEDIUMTEXT ,ownerId "
     "INTEGER DEFAULT -1);",
     "CREATE TABLE IF NOT EXISTS BatchbayJOBS (rowid BIGINT PRIMARY KEY AUTO_INCREMENT, "
     "slurmId INTEGER, jobId MEDIUMTEXT, ownerId INTEGER DEFAULT -1, "
     "INDEX idx_jobid (jobId(255)))" HXB_MARIADB_TABLE},
    {"CREATE TABLE IF NOT EXISTS BatchbayJOBCOUNTER (id INTEGER PRIMARY KEY "
     "AUTOINCREMENT,miradoId MEDIUMTEXT);",
     "CREATE TABLE IF NOT EXISTS BatchbayJOBCOUNTER (id INTEGER PRIMARY KEY AUTO_INCREMENT, "
     "miradoId MEDIUMTEXT)" HXB_MARIADB_TABLE},
    {"CREATE INDEX IF NOT EXISTS idx_miradoid ON BatchbayJOBCOUNTER (miradoId)",
     "CREATE INDEX IF NOT EXISTS idx_miradoid ON BatchbayJOBCOUNTER (miradoId(255))"},
    {"CREATE TABLE IF NOT EXISTS BatchbayAPPS (appId INTEGER ,filename MEDIUMTEXT);",
     "CREATE TABLE IF NOT EXISTS BatchbayAPPS (rowid BIGINT PRIMARY KEY AUTO_INCREMENT, "
     "appId INTEGER, filename MEDIUMTEXT)" HXB_MARIADB_TABLE},
    {"CREATE TABLE IF NOT EXISTS BatchbayJOBDATA (jobId MEDIUMTEXT ,data MEDIUMTEXT);",
     "CREATE TABLE IF NOT EXISTS BatchbayJOBDATA (jobId MEDIUMTEXT, data MEDIUMTEXT)" HXB_MARIADB_TABLE},
    {"CREATE INDEX IF NOT EXISTS idx_jobdata_jobid ON BatchbayJOBDATA (jobId)",
     "CREATE INDEX IF NOT EXISTS idx_jobdata_jobid ON BatchbayJOBDATA (jobId(255))"},
    {"CREATE INDEX IF NOT EXISTS idx_jobs_jobid ON BatchbayJOBS (jobId)",
     "CREATE INDEX IF NOT EXISTS idx_jobs_jobid ON BatchbayJOBS (jobId(255))"},
    // InnoDB gives space back by rebuilding a table; the database layer names the tables.
    {"VACUUM", "OPTIMIZE TABLE %1"},
}};

#undef HXB_MARIADB_TABLE

} // namespace

QString HXBSqlDialect::translate(Kind kind, const QString &sqliteStatement)
{
    if (kind == Kind::SQLite)
        return sqliteStatement;
    for (const auto &[sqlite, mariadb] : sStatements) {
        if (sqliteStatement == QLatin1String(sqlite))
            return QString::fromLatin1(mariadb);
    }
    return sqliteStatement;
}

bool HXBSqlDialect::isRepeatable(const QString &statement)
{
    static const QRegularExpression repeatable(
        QStringLiteral("^\\s*(SELECT\\b|SHOW\\b|CREATE\\s+(TABLE|INDEX)\\s+IF\\s+NOT\\s+EXISTS\\b"
                       "|DELETE\\b|UPDATE\\s+\\w+\\s+SET\\s+\\w+\\s*=\\s*\\?(\\s*,\\s*\\w+\\s*=\\s*\\?)*"
                       "\\s+WHERE\\b)"),
        QRegularExpression::CaseInsensitiveOption);
    return repeatable.match(statement).hasMatch();
}
