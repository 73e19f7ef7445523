#include "db/HXBSqlDialect.h"

#include <gtest/gtest.h>

namespace {

using Kind = HXBSqlDialect::Kind;

TEST(HXBSqlDialectTest, SqliteGetsItsStatementsByteForByte)
{
    for (const char *statement : {"INSERT INTO USERS DEFAULT VALUES;", "VACUUM",
                                  "SELECT mUsername, mPassword, mType FROM USERS WHERE mId == ?;"})
        EXPECT_EQ(HXBSqlDialect::translate(Kind::SQLite, QString::fromLatin1(statement)),
                  QString::fromLatin1(statement));
}

TEST(HXBSqlDialectTest, MariaDbGetsTheEquivalentOnlyOfSqliteOnlyStatements)
{
    EXPECT_EQ(HXBSqlDialect::translate(Kind::MariaDB, QStringLiteral("INSERT INTO USERS DEFAULT VALUES;")),
              QStringLiteral("INSERT INTO USERS () VALUES ();"));
    EXPECT_EQ(HXBSqlDialect::translate(Kind::MariaDB,
                                       QStringLiteral("SELECT mUsername, mPassword, mType FROM USERS WHERE mId == ?;")),
              QStringLiteral("SELECT mUsername, mPassword, mType FROM USERS WHERE mId = ?;"));
    const QString portable = QStringLiteral("DELETE FROM BatchbayJOBS WHERE jobId = ?;");
    EXPECT_EQ(HXBSqlDialect::translate(Kind::MariaDB, portable), portable);
    // Close is not equal: only the exact text is translated.
    const QString near = QStringLiteral("INSERT INTO USERS DEFAULT VALUES");
    EXPECT_EQ(HXBSqlDialect::translate(Kind::MariaDB, near), near);
}

TEST(HXBSqlDialectTest, MariaDbTablesAreInnoDbUtf8mb4WithBinaryCollation)
{
    for (const char *create :
         {"CREATE TABLE IF NOT EXISTS USERS (mId INTEGER PRIMARY KEY ,mType INTEGER ,mUsername MEDIUMTEXT, "
          "mPassword MEDIUMTEXT );",
          "CREATE TABLE IF NOT EXISTS BatchbayJOBS (slurmId INTEGER ,jobId MEDIUMTEXT ,ownerId INTEGER DEFAULT -1);",
          "CREATE TABLE IF NOT EXISTS BatchbayJOBCOUNTER (id INTEGER PRIMARY KEY AUTOINCREMENT,miradoId MEDIUMTEXT);",
          "CREATE TABLE IF NOT EXISTS BatchbayAPPS (appId INTEGER ,filename MEDIUMTEXT);"}) {
        const QString translated = HXBSqlDialect::translate(Kind::MariaDB, QString::fromLatin1(create));
        EXPECT_TRUE(translated.endsWith(QStringLiteral(" ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_bin;")))
            << create;
    }
}

TEST(HXBSqlDialectTest, OnlyStatementsThatMayRunTwiceAreRepeatable)
{
    const struct
    {
        const char *statement;
        bool repeatable;
    } rows[] = {
        {"SELECT mId FROM USERS;", true},
        {"  select 1", true},
        {"CREATE TABLE IF NOT EXISTS t (v INTEGER)", true},
        {"CREATE INDEX IF NOT EXISTS i ON t (v)", true},
        {"DELETE FROM BatchbayJOBS WHERE jobId = ?;", true},
        {"UPDATE USERS SET mPassword = ? WHERE mId = ?;", true},
        {"UPDATE t SET a = ?, b = ? WHERE id = ?", true},
        {"UPDATE t SET v = v + 1 WHERE id = ?", false},
        {"INSERT INTO USERS DEFAULT VALUES;", false},
        {"INSERT INTO BatchbayJOBCOUNTER(miradoId) VALUES(?);", false},
        {"CREATE TABLE t (v INTEGER)", false},
        {"VACUUM", false},
    };
    for (const auto &row : rows)
        EXPECT_EQ(HXBSqlDialect::isRepeatable(QString::fromLatin1(row.statement)), row.repeatable) << row.statement;
}

} // namespace
