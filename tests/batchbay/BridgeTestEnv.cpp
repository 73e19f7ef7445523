#include "BridgeTestEnv.h"

#include "db/HXBDB.h"
#include "db/HXBQuery.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QVariant>

#include <gtest/gtest.h>

BridgeTestEnv::BridgeTestEnv()
{
    EXPECT_TRUE(mDir.isValid());
}

BridgeTestEnv::~BridgeTestEnv() = default;

std::unique_ptr<BatchbaySettings> BridgeTestEnv::settings(const QString &coreLines) const
{
    QString body = QStringLiteral("[Core]\n");
    if (!coreLines.contains(QStringLiteral("datadir=")))
        body += QStringLiteral("datadir=") + mDir.path() + QStringLiteral("/data/\n");
    body += coreLines;
    // A new file each time: QSettings caches a file's contents per path within a process and
    // may not notice a rewrite of the same size within the same second.
    const QString ini = mDir.filePath(QStringLiteral("hxbconfig%1.ini").arg(++mIniCount));
    writeFile(ini, body.toUtf8());
    return std::make_unique<BatchbaySettings>(ini, mDir.path());
}

int BridgeTestEnv::scalar(const QString &statement)
{
    HXBQuery query = HXBDB::getQuery();
    EXPECT_TRUE(query.read(statement)) << statement.toStdString();
    if (!query.next())
        return -1;
    return query.value(0).toInt();
}

void BridgeTestEnv::writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    file.write(content);
}
