#include "BatchbayJobFiles.h"

#include "log/HXBLogger.h"

#include <QFile>
#include <QIODevice>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <glob.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr qint64 sCopyChunk = 64 * 1024;

std::vector<std::string> splitSegments(const std::string &name)
{
    std::vector<std::string> segments;
    std::string::size_type start = 0;
    for (;;) {
        const std::string::size_type slash = name.find('/', start);
        segments.push_back(name.substr(start, slash == std::string::npos ? slash : slash - start));
        if (slash == std::string::npos)
            return segments;
        start = slash + 1;
    }
}

std::string canonicalOf(const std::string &path)
{
    std::error_code ec;
    const fs::path canonical = fs::canonical(path, ec);
    return ec ? std::string() : canonical.string();
}

bool isSymlink(const std::string &path)
{
    std::error_code ec;
    return fs::is_symlink(fs::symlink_status(path, ec));
}

bool writeAll(int fd, const char *data, qint64 size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, static_cast<std::size_t>(size));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += written;
        size -= written;
    }
    return true;
}

} // namespace

BatchbayJobFiles::BatchbayJobFiles(const std::string &jobDir)
    : mRoot(canonicalOf(jobDir))
{ }

bool BatchbayJobFiles::isValidName(const std::string &name)
{
    if (name.empty() || name.find('\0') != std::string::npos || name.front() == '/')
        return false;
    const std::vector<std::string> segments = splitSegments(name);
    for (const std::string &segment : segments) {
        if (segment == "..")
            return false;
    }
    return !segments.back().empty() && segments.back() != ".";
}

bool BatchbayJobFiles::isInside(const std::string &canonicalPath) const
{
    if (mRoot.empty() || canonicalPath.empty())
        return false;
    if (canonicalPath == mRoot)
        return true;
    const std::string prefix = mRoot.back() == '/' ? mRoot : mRoot + "/";
    return canonicalPath.compare(0, prefix.size(), prefix) == 0;
}

BatchbayJobFiles::Result BatchbayJobFiles::store(const std::string &name, QIODevice &content,
                                                 std::string &error) const
{
    return store(name, content, error, {});
}

BatchbayJobFiles::Result BatchbayJobFiles::store(const std::string &name, QIODevice &content,
                                                 std::string &error,
                                                 const std::function<bool(const std::string &)> &adopt) const
{
    if (!isValidName(name)) {
        error = "invalid file name";
        return Result::BadName;
    }
    if (mRoot.empty()) {
        error = "job directory does not exist";
        return Result::Failed;
    }

    // Walk down to the target's directory, creating what is missing. An existing step must
    // resolve to a directory inside the job directory, so a link cannot lead the file out.
    const std::vector<std::string> segments = splitSegments(name);
    std::string dir = mRoot;
    for (std::size_t i = 0; i + 1 < segments.size(); ++i) {
        if (segments[i].empty() || segments[i] == ".")
            continue;
        const std::string next = dir + "/" + segments[i];
        std::error_code ec;
        if (fs::exists(next, ec) || isSymlink(next)) {
            const std::string canonical = canonicalOf(next);
            if (!isInside(canonical)) {
                error = "file name leads out of the job directory";
                return Result::Outside;
            }
            if (!fs::is_directory(canonical, ec)) {
                error = "\"" + segments[i] + "\" is not a directory";
                return Result::Failed;
            }
            dir = canonical;
        } else {
            if (::mkdir(next.c_str(), 0777) != 0 && errno != EEXIST) {
                error = "cannot create directory \"" + segments[i] + "\": " + std::strerror(errno);
                return Result::Failed;
            }
            dir = next;
        }
    }
    const std::string target = dir + "/" + segments.back();
    if (adopt && adopt(target)) {
        ::chmod(target.c_str(), 0600);
        return Result::Ok;
    }

    std::string temp = dir + "/.upload-XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) {
        error = std::string("cannot create file: ") + std::strerror(errno);
        return Result::Failed;
    }
    bool ok = true;
    QByteArray buffer(sCopyChunk, Qt::Uninitialized);
    for (;;) {
        const qint64 got = content.read(buffer.data(), buffer.size());
        if (got < 0) {
            ok = false;
            error = "cannot read the request body";
            break;
        }
        if (got == 0)
            break;
        if (!writeAll(fd, buffer.constData(), got)) {
            ok = false;
            error = std::string("cannot write file: ") + std::strerror(errno);
            break;
        }
    }
    ::fchmod(fd, 0600);
    if (::close(fd) != 0 && ok) {
        ok = false;
        error = std::string("cannot write file: ") + std::strerror(errno);
    }
    if (ok && std::rename(temp.c_str(), target.c_str()) != 0) {
        ok = false;
        error = std::string("cannot store file: ") + std::strerror(errno);
    }
    if (!ok) {
        ::unlink(temp.c_str());
        return Result::Failed;
    }
    return Result::Ok;
}

bool BatchbayJobFiles::isValidPattern(const std::string &pattern)
{
    if (pattern.find('\0') != std::string::npos || pattern.starts_with('/'))
        return false;
    for (const std::string &segment : splitSegments(pattern)) {
        if (segment == "..")
            return false;
    }
    return true;
}

int BatchbayJobFiles::openInside(const std::string &path, std::string &error) const
{
    if (mRoot.empty()) {
        error = "job directory does not exist";
        return -1;
    }
    // O_NONBLOCK: opening a FIFO must not wait for a writer; reads of a regular file ignore it.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = errno == ELOOP ? "a symbolic link is not followed"
                               : std::string("cannot open: ") + std::strerror(errno);
        return -1;
    }
    struct stat status
    {
    };
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        error = "not a regular file";
        return -1;
    }
    // Where the opened file really is, whatever links the path went through.
    const std::string opened = canonicalOf("/proc/self/fd/" + std::to_string(fd));
    if (!isInside(opened)) {
        ::close(fd);
        error = "the file lies outside the job directory";
        return -1;
    }
    return fd;
}

std::string BatchbayJobFiles::readTail(const std::string &path, long long maxBytes) const
{
    std::string error;
    const int fd = openInside(path, error);
    if (fd < 0) {
        HXBLogger::instance()->logNormalWarn("readTail", "output not read: " + error, path);
        return {};
    }
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return {};
    }
    const qint64 size = file.size();
    if (size <= maxBytes)
        return file.read(maxBytes).toStdString();
    // Of a longer file the end is what a user following the job wants to see.
    const qint64 skipped = size - maxBytes;
    file.seek(skipped);
    return "[... " + std::to_string(skipped) + " bytes omitted ...]\n"
        + file.read(maxBytes).toStdString();
}

std::string BatchbayJobFiles::readJobOutput(const std::string &jobDir, const std::string &workDir,
                                            const std::string &path, long long maxBytes)
{
    std::string root = jobDir;
    if (root.empty()) {
        const fs::path folder = fs::path(path).lexically_normal().parent_path();
        const std::string work = canonicalOf(workDir);
        if (!work.empty() && canonicalOf(folder.parent_path().string()) == work)
            root = folder.string();
    }
    return BatchbayJobFiles(root).readTail(path, maxBytes);
}

BatchbayJobFiles::Result BatchbayJobFiles::locate(const std::string &name, std::string &path) const
{
    if (!isValidName(name))
        return Result::BadName;
    if (mRoot.empty())
        return Result::NotFound;
    // Resolves the links of the part that exists, so a missing file behind a link that
    // leads out is refused as well rather than reported missing.
    std::error_code ec;
    const std::string canonical = fs::weakly_canonical(mRoot + "/" + name, ec).string();
    if (ec)
        return Result::NotFound;
    if (!isInside(canonical))
        return Result::Outside;
    if (!fs::is_regular_file(canonical, ec))
        return Result::NotFound;
    path = canonical;
    return Result::Ok;
}

std::set<std::string> BatchbayJobFiles::listMatches(const std::vector<std::string> &patterns) const
{
    std::set<std::string> names;
    if (mRoot.empty())
        return names;
    std::set<std::string> visited;
    // One request logs a bounded number of lines, then how many more there were.
    int logged = 0;
    long long unlogged = 0;
    const auto logLine = [&logged, &unlogged](const std::string &header) {
        if (logged < sMaxLoggedGlobLines) {
            ++logged;
            HXBLogger::instance()->logNormalInfo("glob", header, "");
        } else {
            ++unlogged;
        }
    };
    for (const std::string &pattern : patterns) {
        if (!isValidPattern(pattern)) {
            logLine("pattern leads out of the job directory, skipped: " + pattern);
            continue;
        }
        const std::string full = mRoot + "/" + pattern;
        logLine("Globbing: " + full);
        glob_t result {};
        std::set<std::string> matches;
        if (::glob(full.c_str(), GLOB_TILDE, nullptr, &result) == 0) {
            for (std::size_t i = 0; i < result.gl_pathc; ++i) {
                logLine(std::string("matched: ") + result.gl_pathv[i]);
                matches.insert(result.gl_pathv[i]);
            }
        }
        ::globfree(&result);
        for (const std::string &match : matches) {
            const std::string path = fs::path(match).lexically_normal().string();
            std::error_code ec;
            if (fs::is_directory(path, ec))
                walk(path, visited, names);
            else if (fs::is_regular_file(path, ec))
                addFile(path, names);
        }
    }
    if (unlogged > 0)
        HXBLogger::instance()->logNormalInfo(
            "glob", std::to_string(unlogged) + " more patterns and matches not logged", "");
    return names;
}

void BatchbayJobFiles::walk(const std::string &dir, std::set<std::string> &visited,
                            std::set<std::string> &names) const
{
    const std::string canonical = canonicalOf(dir);
    if (!isInside(canonical) || !visited.insert(canonical).second)
        return;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path &entry = it->path();
        if (entry.filename().string().starts_with('.'))
            continue;
        std::error_code statError;
        const fs::file_status status = fs::status(entry, statError);
        if (statError)
            continue;
        if (fs::is_directory(status))
            walk(entry.string(), visited, names);
        else if (fs::is_regular_file(status))
            addFile(entry.string(), names);
    }
}

void BatchbayJobFiles::addFile(const std::string &path, std::set<std::string> &names) const
{
    if (!isInside(canonicalOf(path)))
        return;
    const std::string prefix = mRoot + "/";
    if (path.compare(0, prefix.size(), prefix) != 0)
        return;
    names.insert(path.substr(prefix.size()));
}
