#pragma once

#include <set>
#include <functional>
#include <string>
#include <vector>

class QIODevice;

// The files of one job directory as the web side reads and writes them. Every name a client
// sends is taken relative to the job directory, and nothing outside that directory is ever
// written, read or listed: names with "..", absolute names, NUL and empty names are refused,
// and a name that reaches outside through a symbolic link is refused as well.
//
// Stateless; any thread. Works on the file system without a lock: two uploads of one name
// race, the later rename wins, and a reader sees one whole file or the other.
class BatchbayJobFiles
{
public:
    enum class Result { Ok, BadName, Outside, NotFound, Failed };

    static constexpr int sMaxLoggedGlobLines = 20;

    // jobDir need not be canonical; it is resolved once here. Names are bytes as the file
    // system has them (not necessarily UTF-8).
    explicit BatchbayJobFiles(const std::string &jobDir);

    // A relative name below a directory: not empty, no NUL, not absolute, no ".." segment,
    // not ending in "/" (names a directory).
    static bool isValidName(const std::string &name);

    // Stores the device's remaining bytes as the file `name`, creating missing directories
    // inside the job directory. The bytes go to a temporary file beside the target, which is
    // renamed over it only once complete, so the name never holds a partial file. On Failed
    // nothing is left under the name and error says why.
    Result store(const std::string &name, QIODevice &content, std::string &error) const;
    // The same, first offering the final path to adopt, which may put the content there in
    // one step (a rename of a spooled body) and returns whether it did; else it is copied.
    Result store(const std::string &name, QIODevice &content, std::string &error,
                 const std::function<bool(const std::string &path)> &adopt) const;

    // An output-file glob pattern that stays inside the job directory: no NUL, not absolute,
    // no ".." segment. Empty names the job directory itself.
    static bool isValidPattern(const std::string &pattern);

    // The path of an existing regular file `name` inside the job directory (Ok), or why not:
    // BadName, Outside, NotFound (also for a directory).
    Result locate(const std::string &name, std::string &path) const;

    // Opens the file at `path` (absolute, or relative to the working directory) for reading,
    // only when what was opened is a regular file inside the job directory: a final symbolic
    // link is not followed, and the opened file's own path is checked, so no link or rename
    // made meanwhile leads out; a FIFO or device is refused without blocking. Returns the
    // descriptor (close-on-exec; the caller closes it) or -1 with error saying why.
    int openInside(const std::string &path, std::string &error) const;

    // The content of the file at `path` as openInside allows it, at most maxBytes: of a longer
    // file its end, after a line "[... N bytes omitted ...]". Empty when it cannot be read.
    std::string readTail(const std::string &path, long long maxBytes) const;

    // Names relative to the job directory of every file the glob patterns match, directories
    // walked recursively (hidden entries skipped). Patterns that are not isValidPattern are
    // skipped; matches that lie outside the job directory, also through symbolic links, are
    // dropped; link cycles are walked once. The log gets the first sMaxLoggedGlobLines
    // patterns and matches of one call, then their count.
    std::set<std::string> listMatches(const std::vector<std::string> &patterns) const;

    // A job's Slurm output by readTail inside its job directory. A job taken up from an earlier
    // run has none resolved yet (jobDir empty): then the output's own folder stands for it, if
    // that folder lies directly in workDir; otherwise nothing is read.
    static std::string readJobOutput(const std::string &jobDir, const std::string &workDir,
                                     const std::string &path, long long maxBytes);

    // The canonical job directory; empty when it does not exist.
    const std::string &root() const { return mRoot; }

private:
    // True for the job directory itself and everything below it.
    bool isInside(const std::string &canonicalPath) const;
    void walk(const std::string &dir, std::set<std::string> &visited,
              std::set<std::string> &names) const;
    void addFile(const std::string &path, std::set<std::string> &names) const;

    std::string mRoot;
};
