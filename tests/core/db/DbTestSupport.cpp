#include "DbTestSupport.h"

#include <QFile>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QUuid>
#include <QVariant>

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

QStringList observe(const QString &path, const QString &statement)
{
    const QString name = QStringLiteral("observer_") + QUuid::createUuid().toString();
    QStringList rows;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(path);
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
    QSqlDatabase::removeDatabase(name);
    return rows;
}

} // namespace hxbtest
