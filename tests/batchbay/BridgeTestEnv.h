#pragma once

#include "BatchbaySettings.h"

#include <QString>
#include <QTemporaryDir>

#include <memory>
#include <string>

// A private data directory and SQLite file for one test: HXBDB points at
// <temp>/db.sqlite for the test's lifetime.
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

private:
    QTemporaryDir mDir;
    mutable int mIniCount = 0;
};
