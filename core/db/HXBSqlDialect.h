#pragma once

#include <QString>

// The statements the server writes are in SQLite's dialect. This is the one place where a
// MariaDB/MySQL connection gets the equivalent statement: a table keyed by the exact SQLite
// text. A statement that is not in the table is valid in both dialects and passes unchanged.
//
// Tables created on MariaDB are InnoDB, utf8mb4 with a binary collation (so that '=' compares
// like SQLite's: case- and accent-sensitive), and carry an auto-increment key where SQLite has
// one implicitly (INTEGER PRIMARY KEY, rowid). Stateless; any thread may call.
class HXBSqlDialect
{
public:
    enum class Kind
    {
        SQLite,
        MariaDB
    };

    // The statement to send to a database of the given kind.
    static QString translate(Kind kind, const QString &sqliteStatement);

    // Whether running the statement a second time leaves the same rows as running it once:
    // SELECT, SHOW, CREATE ... IF NOT EXISTS, DELETE, and UPDATE that only assigns bound
    // values. INSERT never is. Decides whether a statement whose connection broke while it
    // ran may be sent again.
    static bool isRepeatable(const QString &statement);
};
