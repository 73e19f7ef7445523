#pragma once

#include "BatchbaySettings.h"
#include "DbTestSupport.h"

#include <QString>
#include <QTemporaryDir>

#include <memory>
#include <string>

// A private data directory and database for one test (an SQLite file, or a MariaDB database
// with HXB_TEST_DB=mariadb): HXBDB points at it for the test's lifetime.
class BridgeTestEnv
{
public:
    BridgeTestEnv();
    ~BridgeTestEnv();

    QString root() const { return mDir.path(); }
    QString path(const QString &relative) const { return mDir.filePath(relative); }

    // Settings read from an ini file with the given [Core] lines; "datadir=<root>/data/" is
    // added unless the lines set a datadir of their own.
    std::unique_ptr<BatchbaySettings> settings(const QString &coreLines = QString()) const;

    // Runs one SELECT COUNT(*)-like statement and returns its first column.
    static int scalar(const QString &statement);

    static void writeFile(const QString &path, const QByteArray &content = "x");

    const hxbtest::TestDatabase &database() const { return mDb; }

private:
    QTemporaryDir mDir;
    hxbtest::TestDatabase mDb;
    mutable int mIniCount = 0;
};
