#pragma once

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <string>

namespace hxbtest {

// Redirects file descriptor 1 to a temporary file while alive, so that console log lines
// can be inspected.
class StdoutCapture
{
public:
    StdoutCapture();
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture &) = delete;
    StdoutCapture &operator=(const StdoutCapture &) = delete;

    // Everything written so far.
    std::string text() const;

private:
    int mSavedFd = -1;
    QString mPath;
    QTemporaryDir mDir;
};

// Number of occurrences of needle in haystack.
int countOf(const std::string &haystack, const std::string &needle);

// The database one test runs on, and HXBDB pointed at it while alive.
// With HXB_TEST_DB=mariadb://<user>:<password>@<host>:<port> (see scripts/local-mariadb.sh)
// a fresh database "hxbt_<random>" on that server,
// dropped again at the end, so that tests running side by side never meet; otherwise the
// SQLite file <temporary directory>/<fileName>.
class TestDatabase
{
public:
    explicit TestDatabase(const QString &fileName = QStringLiteral("db.sqlite"));
    ~TestDatabase();
    TestDatabase(const TestDatabase &) = delete;
    TestDatabase &operator=(const TestDatabase &) = delete;

    static bool onMariaDb();

    // Points HXBDB at this database again (after a test pointed it elsewhere).
    void use() const;
    // Points HXBDB at a database of the same kind that does not open, as while the server is
    // down: a file in a missing directory, or a database the server does not have.
    void useUnreachable() const;
    // SQLite: the file path. MariaDB: the database name.
    QString name() const { return mName; }
    // A directory of the test's own, removed at the end.
    QString dir() const { return mDir.path(); }

    // Answers of a connection of its own (not one of HXBDB's): the first column of every row
    // of the statement, or {"<error>"} when it fails.
    QStringList observe(const QString &statement) const;
    // Runs one statement on a connection of its own; false when it fails.
    bool run(const QString &statement) const;
    // Whether a table (or an index) of that name exists.
    bool hasTable(const QString &table) const;
    bool hasIndex(const QString &index) const;

private:
    QTemporaryDir mDir;
    QString mName;
};

// Answers of a connection of its own to the SQLite file at path: the first column of every
// row of the statement, or {"<error>"} when it fails.
QStringList observe(const QString &path, const QString &statement);

} // namespace hxbtest
