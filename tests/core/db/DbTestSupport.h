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

// Answers of a connection of its own (not one of HXBDB's) to the SQLite file at path:
// the first column of every row of the statement, or {"<error>"} when it fails.
QStringList observe(const QString &path, const QString &statement);

} // namespace hxbtest
