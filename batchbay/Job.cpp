#include "Job.h"

#include "BatchbaySettings.h"
#include "db/HXBDB.h"
#include "db/HXBQuery.h"
#include "log/HXBLogger.h"
#include "user/User.h"
#include "util/HXBStringUtils.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QVariant>

#include <algorithm>

std::mutex Job::sJobIdMutex;

namespace {

// A client-supplied name used as one level of a job directory. A separator or NUL would
// let it span several levels, "." and ".." would name the level itself or its parent;
// such characters become "_" so that the directory stays below the work directory.
std::string pathComponent(const std::string &name)
{
    std::string component = name;
    std::replace(component.begin(), component.end(), '/', '_');
    std::replace(component.begin(), component.end(), '\0', '_');
    if (component == "." || component == "..")
        std::replace(component.begin(), component.end(), '.', '_');
    return component;
}

QString absoluteClean(const QString &path)
{
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

// Whether path, after resolving symbolic links, lies strictly below the work directory.
bool liesBelow(const QString &path, const std::string &workDir)
{
    const QString canonicalPath = QFileInfo(path).canonicalFilePath();
    const QString canonicalWork = QFileInfo(Q(workDir)).canonicalFilePath();
    if (canonicalPath.isEmpty() || canonicalWork.isEmpty())
        return false;
    return canonicalPath.startsWith(canonicalWork + QLatin1Char('/'));
}

// Removes every entry of dir; subdirectories recursively, symbolic links as links (never
// what they point to). dir itself stays.
void emptyDirectory(const QString &dir)
{
    const QFileInfoList entries = QDir(dir).entryInfoList(
        QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    for (const QFileInfo &entry : entries) {
        if (entry.isDir() && !entry.isSymLink())
            QDir(entry.absoluteFilePath()).removeRecursively();
        else
            QFile::remove(entry.absoluteFilePath());
    }
}

bool occupied(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

enum class Claim { Created, Occupied, Failed };

// Creates dir (and its missing parents). Only the last level decides who gets a name: its
// mkdir fails when anything is there already, so two jobs resolving at the same moment,
// on different threads or in different processes, never end up with the same directory.
Claim claimDirectory(const QString &dir)
{
    const QString clean = QDir::cleanPath(dir);
    QDir().mkpath(QFileInfo(clean).path());
    if (QDir().mkdir(clean))
        return Claim::Created;
    return occupied(clean) ? Claim::Occupied : Claim::Failed;
}

} // namespace

std::string Job::stateName(int state)
{
    switch (state) {
    case JobWaitingForInput:
        return "waiting for input";
    case JobToBeSubmitted:
        return "tobesubmitted";
    case JobQueued:
        return "queued";
    case JobRunning:
        return "running";
    case JobFinished:
        return "finished";
    case JobToBeCancelled:
        return "tobecancelled";
    case JobFailed:
        return "failed";
    case JobFinalized:
        return "finalized";
    default:
        return "unknown";
    }
}

quicktype::Job Job::getJobInfo() const
{
    quicktype::Job info;
    info.designname = designName;
    {
        std::lock_guard<std::mutex> lock(mJobDirMutex);
        info.jobdir = jobDir;
    }
    info.jobid = jobId;
    info.node = node;
    const int owner = ownerId;
    info.ownerid = owner;
    if (owner == -1) {
        info.ownername = "(unowned)";
    } else if (const std::shared_ptr<User> user = User::getUserById(owner)) {
        info.ownername = user->getUsername();
    } else {
        info.ownername = "(deleted)";
    }
    for (const Task &task : tasks) {
        if (task.type == 1 && task.hasPriority)
            info.priority = task.priority;
    }
    info.projectname = projectName;
    info.received_timestamp = receivedTimestamp;
    info.removefiles = removeFiles;
    info.runid = runId;
    info.runname = runName;
    info.slurmid = slurmId;
    info.started_timestamp = startedTimestamp;
    info.state = stateName(state);
    return info;
}

int Job::runNumber() const
{
    std::lock_guard<std::mutex> lock(sJobIdMutex);
    HXBLogger *log = HXBLogger::instance();

    HXBQuery select = HXBDB::getQuery();
    select.prepare(QStringLiteral("SELECT id FROM BatchbayJOBCOUNTER WHERE miradoId = ?;"));
    select.addBindValue(Q(runId));
    if (select.read() && select.next()) {
        const int number = select.value(0).toInt();
        log->logNormalInfo("JobDir", "found in DB", runId + " -> " + fromNumber(number));
        return number;
    }

    HXBQuery insert = HXBDB::getQuery();
    insert.prepare(QStringLiteral("INSERT INTO BatchbayJOBCOUNTER(miradoId) VALUES(?);"));
    insert.addBindValue(Q(runId));
    insert.write();
    const int number = insert.lastInsertId().toInt();
    log->logNormalInfo("JobDir", "createNew", runId + " -> " + fromNumber(number));
    return number;
}

std::string Job::getJobDir()
{
    return getJobDir(*BatchbaySettings::instance());
}

std::string Job::getJobDir(const BatchbaySettings &settings)
{
    std::lock_guard<std::recursive_mutex> guard(mutex);
    if (!jobDir.empty())
        return jobDir;

    HXBLogger *log = HXBLogger::instance();
    const std::string workDir = settings.getTmpDir();

    std::string suffix;
    if (!runId.empty())
        suffix = "_" + fromNumber(runNumber());

    std::string path = workDir + "/";
    if (!projectName.empty())
        path += pathComponent(projectName) + suffix + "/";
    if (!runName.empty())
        path += pathComponent(runName) + suffix + "/";
    if (!designName.empty())
        path += pathComponent(designName);

    QString dir = Q(path);
    // The work directory itself is never a job's directory, not even before it exists: it
    // holds every other job's files, and a job's directory may be emptied or removed.
    const bool isWorkDir = absoluteClean(dir) == absoluteClean(Q(workDir));
    Claim claim = isWorkDir ? Claim::Occupied : claimDirectory(dir);
    if (claim == Claim::Occupied) {
        const QFileInfo info(QDir::cleanPath(dir));
        const QString absolute = absoluteClean(dir);
        bool fresh = true;
        if (settings.getRemoveInputDir() && !isWorkDir && info.isDir() && !info.isSymLink()) {
            if (!absolute.startsWith(Q(workDir))) {
                // A relative work directory never matches; the directory is reused as it is.
                fresh = false;
            } else if (liesBelow(absolute, workDir)) {
                log->logNormalInfo("getJobDir", "removing", S(absolute));
                emptyDirectory(absolute);
                fresh = false;
            }
        }
        if (fresh) {
            for (int n = 1;; ++n) {
                const QString candidate = dir + QLatin1Char('_')
                                          + QString::number(n).rightJustified(4, QLatin1Char('0'));
                claim = claimDirectory(candidate);
                if (claim != Claim::Occupied) {
                    dir = candidate;
                    break;
                }
            }
            log->logNormalInfo("getJobDir", "dir already exists, using",
                               S(QFileInfo(dir).absoluteFilePath()));
        }
    }

    if (!dir.endsWith(QLatin1Char('/')))
        dir += QLatin1Char('/');
    {
        std::lock_guard<std::mutex> lock(mJobDirMutex);
        jobDir = S(dir);
    }
    if (claim == Claim::Failed)
        log->logNormalWarn("getJobDir", "could not create directory", jobDir);
    return jobDir;
}

void Job::start() {}
void Job::checkFinished() {}
void Job::cancel() {}
void Job::cleanup() {}
std::string Job::getStdOut() const { return {}; }
std::string Job::getNode() const { return {}; }
std::string Job::getStdOutPath() const { return {}; }
