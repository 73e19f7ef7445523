#pragma once

#include <set>
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

    // The path of an existing regular file `name` inside the job directory (Ok), or why not:
    // BadName, Outside, NotFound (also for a directory).
    Result locate(const std::string &name, std::string &path) const;

    // Names relative to the job directory of every file the glob patterns match, directories
    // walked recursively (hidden entries skipped). Matches that lie outside the job directory,
    // also through symbolic links, are dropped; link cycles are walked once.
    std::set<std::string> listMatches(const std::vector<std::string> &patterns) const;

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
