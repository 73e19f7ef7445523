#include "Job.h"

#include "BatchbayAppManager.h"
#include "BatchbayApp.h"
#include "BatchbayJobFiles.h"
#include "BatchbayJobStore.h"
#include "BatchbaySettings.h"
#include "SlurmCommand.h"
#include "SlurmQueueSnapshot.h"
#include "db/HXBDB.h"
#include "db/HXBQuery.h"
#include "log/HXBLogger.h"
#include "user/User.h"
#include "util/HXBStringUtils.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QDateTime>
#include <QProcessEnvironment>
#include <QVariant>

#include <nlohmann/json.hpp>

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

QString canonicalOrClean(const QString &path)
{
    const QString canonical = QFileInfo(path).canonicalFilePath();
    return canonical.isEmpty() ? absoluteClean(path) : canonical;
}

// Whether a job of the store other than self has its directory at dir or below it. Takes the
// store's lock and each job's field lock, one at a time.
bool holdsAnotherJobsDirectory(const QString &dir, const Job *self)
{
    const QString base = canonicalOrClean(dir);
    for (const auto &entry : BatchbayJobStore::instance()->getAllJobs()) {
        const std::shared_ptr<Job> &job = entry.second;
        if (!job || job.get() == self)
            continue;
        const std::string other = job->getStoredJobDir();
        if (other.empty())
            continue;
        const QString path = canonicalOrClean(Q(other));
        if (path == base || path.startsWith(base + QLatin1Char('/')))
            return true;
    }
    return false;
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
        std::lock_guard<std::mutex> lock(mFieldsMutex);
        info.jobdir = jobDir;
        info.exitCode = mExitCode;
        info.reason = mReason;
    }
    info.jobid = jobId;
    info.node = getNode();
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

std::string Job::getStoredJobDir() const
{
    std::lock_guard<std::mutex> lock(mFieldsMutex);
    return jobDir;
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
            } else if (holdsAnotherJobsDirectory(absolute, this)) {
                // A name level shared with other live jobs (an empty design name makes the
                // run level the job's directory): their files are not this job's to delete.
                log->logNormalInfo("getJobDir", "not emptying, holds another job's directory",
                                   S(absolute));
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
        std::lock_guard<std::mutex> lock(mFieldsMutex);
        jobDir = S(dir);
    }
    if (claim == Claim::Failed)
        log->logNormalWarn("getJobDir", "could not create directory", jobDir);
    return jobDir;
}

namespace {

int nowUtcSeconds()
{
    return int(QDateTime::currentSecsSinceEpoch());
}

} // namespace

int Job::slurmIdFromAnswer(const QByteArray &answer)
{
    static const QByteArray sSubmitted("Submitted batch job ");
    QByteArray word;
    if (const qsizetype at = answer.indexOf(sSubmitted); at >= 0) {
        const QByteArray rest = answer.mid(at + sSubmitted.size());
        qsizetype end = 0;
        while (end < rest.size() && rest[end] >= '0' && rest[end] <= '9')
            ++end;
        word = rest.left(end);
    } else {
        const QByteArray trimmed = answer.trimmed();
        word = trimmed.mid(trimmed.lastIndexOf(' ') + 1);
    }
    bool ok = false;
    const int id = word.toInt(&ok, 10);
    return ok && id > 0 ? id : 0;
}

std::string Job::submissionFailure(const SlurmCommandResult &result)
{
    if (!result.started)
        return "sbatch could not be started";
    if (!result.finished)
        return "sbatch did not finish in time";
    static const QByteArray sError("error: ");
    QByteArray first;
    for (const QByteArray &line : result.output.split('\n')) {
        const QByteArray text = line.trimmed();
        if (text.isEmpty())
            continue;
        if (const qsizetype at = text.indexOf(sError); at >= 0)
            return text.mid(at + sError.size()).left(512).toStdString();
        if (first.isEmpty())
            first = text;
    }
    if (first.isEmpty())
        return "sbatch failed with exit status " + std::to_string(result.exitCode);
    return first.left(512).toStdString();
}

void Job::start()
{
    std::unique_lock<std::recursive_mutex> lock(mutex, std::try_to_lock);
    HXBLogger *log = HXBLogger::instance();
    if (!lock.owns_lock()) {
        std::string dir;
        {
            std::lock_guard<std::mutex> fields(mFieldsMutex);
            dir = jobDir;
        }
        log->logNormalWarn("start", "could not get lock", dir);
        return;
    }
    // A request (cancel, finalize) that came first wins: the job is never submitted after it.
    if (state != JobToBeSubmitted)
        return;
    // A submission that may have reached Slurm without its answer being saved (sbatch timed
    // out, or the server stopped) is looked for by its comment before a second one is made.
    if (mSubmitAttempted) {
        const int found = findSubmittedJob();
        if (found < 0)
            return; // Slurm cannot tell now: asked again at the next pass
        if (found > 0) {
            log->logNormalWarn("start", "found the job submitted before on Slurm", jobId + " -> " + fromNumber(found));
            slurmId = found;
            setOutcome(-1, "submitted");
            state = JobQueued;
            save();
            return;
        }
    }

    Task task;
    for (const Task &candidate : tasks) {
        if (candidate.type == 1)
            task = candidate;
    }
    const std::shared_ptr<BatchbayApp> app = BatchbayAppManager::instance()->getAppById(task.applicationId);
    if (!app) {
        log->logNormalCritical("start", "could not find application with ID", fromNumber(task.applicationId));
        setOutcome(-1, "no application with ID " + fromNumber(task.applicationId));
        state = JobFailed;
        save();
        return;
    }

    startedTimestamp = nowUtcSeconds();
    BatchbaySettings *settings = BatchbaySettings::instance();
    const std::string dir = getJobDir(*settings);
    const std::string script = settings->getJobTemplateDir() + app->appName;
    log->logNormalInfo("start", "starting new job", app->appName);

    std::string name = projectName + " - " + designName;
    std::replace(name.begin(), name.end(), ' ', '_');
    std::vector<std::string> arguments{"--job-name=" + name,
                                       "--ntasks=" + fromNumber(task.numberOfTasks)};
    if (task.numberOfNodes != 0)
        arguments.push_back("--nodes=" + fromNumber(task.numberOfNodes));
    if (task.numberOfCPUsPerTask != 0)
        arguments.push_back("--cpus-per-task=" + fromNumber(task.numberOfCPUsPerTask));
    if (!task.partitionName.empty())
        arguments.push_back("--partition=" + task.partitionName);
    if (task.hasPriority)
        arguments.push_back("--priority=" + fromNumber(task.priority));
    if (settings->getOversubscribe())
        arguments.push_back("--oversubscribe");
    arguments.push_back("--comment=" + slurmComment());
    arguments.push_back(script);
    log->logNormalInfo("start", "submit args", join(arguments, " "));

    const std::string jobArgs = join(task.args, " ");
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("JOB_ARGS"), Q(jobArgs));
    log->logNormalInfo("start", "application user args: ", jobArgs);

    QStringList argumentList;
    for (const std::string &argument : arguments)
        argumentList << Q(argument);
    // Saved before sbatch runs: after a crash the job is looked for on Slurm, not sent twice.
    mSubmitAttempted = true;
    save();
    const SlurmCommandResult result = SlurmCommand(Q(app->executable), argumentList)
                                          .setWorkingDirectory(Q(dir))
                                          .setEnvironment(environment)
                                          .setChannels(SlurmCommand::Channels::Merged)
                                          .setLimits(SlurmCommand::sSubmitStartMs, SlurmCommand::sSubmitFinishMs)
                                          .run();

    // A submission that sbatch itself reports as failed is never taken for a job, whatever
    // number its message happens to end with.
    const bool refused = result.finished && result.exitCode != 0;
    slurmId = refused ? 0 : slurmIdFromAnswer(result.output);
    if (slurmId == 0 && result.started && !result.finished) {
        // Killed at its limit, sbatch may have handed the job to Slurm all the same.
        if (const int found = findSubmittedJob(); found > 0) {
            log->logNormalWarn("start", "sbatch timed out, its job found on Slurm", fromNumber(found));
            slurmId = found;
        }
    }
    if (slurmId != 0) {
        log->logNormalInfo("start", "job queued", app->appName);
        setOutcome(-1, "submitted");
        state = JobQueued;
    } else {
        log->logNormalCritical("start", "failed to aquire slurm id", result.output.toStdString());
        setOutcome(-1, refused || !result.finished || !result.started
                           ? submissionFailure(result)
                           : "sbatch answered without a job ID: " + result.output.trimmed().left(200).toStdString());
        state = JobFailed;
    }
    save();
}

int Job::findSubmittedJob() const
{
    const SlurmQueueSnapshot snapshot = SlurmQueueSnapshot::query({});
    return snapshot.findByComment(slurmComment());
}

bool Job::lockForPoll(std::unique_lock<std::recursive_mutex> &lock)
{
    lock = std::unique_lock<std::recursive_mutex>(mutex, std::try_to_lock);
    if (!lock.owns_lock()) {
        std::string dir;
        {
            std::lock_guard<std::mutex> fields(mFieldsMutex);
            dir = jobDir;
        }
        HXBLogger::instance()->logNormalWarn("checkFinished", "could not get lock", dir);
        return false;
    }
    const int current = state;
    return current == JobQueued || current == JobRunning;
}

void Job::checkFinished()
{
    std::unique_lock<std::recursive_mutex> lock;
    if (!lockForPoll(lock))
        return;
    const SlurmCommandResult result
        = SlurmCommand(QStringLiteral("squeue"), SlurmQueueSnapshot::queryArguments({slurmId}))
              .setChannels(SlurmCommand::Channels::Separate)
              .run();
    applyReading(settleUnlisted(SlurmQueueSnapshot::fromCommand(result).lookup(slurmId)));
}

void Job::checkFinished(const SlurmQueueSnapshot &snapshot)
{
    std::unique_lock<std::recursive_mutex> lock;
    if (!lockForPoll(lock))
        return;
    applyReading(settleUnlisted(snapshot.lookup(slurmId)));
}

SlurmJobReading Job::settleUnlisted(const SlurmJobReading &reading) const
{
    if (reading.outcome != SlurmJobReading::Outcome::NotFound)
        return reading;
    SlurmJobReading known = SlurmQueueSnapshot::queryController(slurmId).lookup(slurmId);
    // Only an end state is taken from there; anything else leaves the job unlisted.
    if (known.outcome == SlurmJobReading::Outcome::Found && known.failedAt.empty()
        && SlurmQueueSnapshot::isEndState(known.stateWord))
        return known;
    return reading;
}

void Job::applyReading(const SlurmJobReading &reading)
{
    const int before = state;
    const std::string reasonBefore = getReason();
    const std::string nodeBefore = getNode();
    // An error of the whole answer (the controller is down, squeue timed out) says nothing
    // about this job; one in its own entry, while Slurm answers, does.
    bool readingError = false;
    bool ownEntry = false;
    switch (reading.outcome) {
    case SlurmJobReading::Outcome::NotFound:
        setOutcome(-1, sUnlistedReason);
        state = JobFinished;
        break;
    case SlurmJobReading::Outcome::Error:
        readingError = true;
        break;
    case SlurmJobReading::Outcome::Found:
        if (reading.failedAt == "standard_output") {
            readingError = ownEntry = true;
            break;
        }
        {
            std::lock_guard<std::mutex> fields(mFieldsMutex);
            stdOutPath = reading.stdOutPath;
        }
        if (reading.failedAt == "job_state") {
            readingError = ownEntry = true;
            break;
        }
        state = SlurmQueueSnapshot::jobStateFor(reading.stateWord, state);
        setOutcome(reading.exitCode, reading.reason);
        parseErrorCount = 0;
        readingErrorsSinceMs = 0;
        if (reading.failedAt == "node") {
            readingError = ownEntry = true;
            break;
        }
        {
            std::lock_guard<std::mutex> fields(mFieldsMutex);
            node = reading.node;
        }
        break;
    }

    if (readingError) {
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        if (parseErrorCount == 0) {
            HXBLogger::instance()->logNormalWarn("checkFinished", "error parsing job response",
                                                 reading.error.empty() ? reading.failedAt : reading.error);
            readingErrorsSinceMs = now;
        }
        ++parseErrorCount;
        const bool entryKeepsFailing = ownEntry && parseErrorCount >= sMaxReadingErrors;
        const bool tooLong = parseErrorCount > 1 && now - readingErrorsSinceMs >= sReadingErrorGraceSeconds * 1000;
        if (entryKeepsFailing || tooLong) {
            setOutcome(-1, entryKeepsFailing
                               ? "Slurm's entry for the job could not be read (" + reading.failedAt + ")"
                               : "no answer of Slurm about the job could be read for 24 h: " + reading.error);
            state = JobFailed;
        }
    }
    if (state != before || getReason() != reasonBefore || getNode() != nodeBefore)
        save();
}

bool Job::requestSubmit()
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    if (state != JobWaitingForInput)
        return false;
    state = JobToBeSubmitted;
    save();
    return true;
}

void Job::requestFinalize()
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    const int current = state;
    if (current == JobFinalized)
        return;
    mCancelOnSlurm = slurmId >= 1 && (current == JobQueued || current == JobRunning || current == JobToBeCancelled);
    state = JobFinalized;
    save();
}

bool Job::cancelsOnSlurm() const
{
    return mCancelOnSlurm;
}

void Job::finalizeOnSlurm()
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    if (!mCancelOnSlurm || slurmId < 1)
        return;
    HXBLogger::instance()->logNormalInfo("finalize", "cancelling the Slurm job first", jobId);
    SlurmCommand(QStringLiteral("scancel"), {QString::number(int(slurmId))})
        .setChannels(SlurmCommand::Channels::Merged)
        .run();
    mCancelOnSlurm = false;
}

void Job::save()
{
    BatchbayJobStore::instance()->saveJob(shared_from_this());
}

bool Job::requestCancel(const std::string &userName)
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    const int current = state;
    if (current == JobFinished || current == JobFailed || current == JobFinalized)
        return false;
    if (current == JobToBeCancelled)
        return true;
    {
        std::lock_guard<std::mutex> fields(mFieldsMutex);
        mCancelRequester = userName;
    }
    state = JobToBeCancelled;
    save();
    return true;
}

void Job::cancel()
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    if (state != JobToBeCancelled)
        return; // finalised meanwhile: finalizeOnSlurm cancels the Slurm job
    if (slurmId >= 1) {
        SlurmCommand(QStringLiteral("scancel"), {QString::number(int(slurmId))})
            .setChannels(SlurmCommand::Channels::Merged)
            .run();
    }
    std::string requester;
    {
        std::lock_guard<std::mutex> fields(mFieldsMutex);
        requester = mCancelRequester;
    }
    setOutcome(-1, requester.empty() ? "cancelled" : "cancelled by " + requester);
    state = JobFailed;
    save();
}

void Job::cleanup()
{
    cleanup(*BatchbaySettings::instance());
}

void Job::cleanup(const BatchbaySettings &settings)
{
    BatchbayJobStore *store = BatchbayJobStore::instance();
    if (!removeFiles) {
        store->removeJob(jobId);
        return;
    }
    HXBLogger *log = HXBLogger::instance();
    log->logNormalInfo("cleanup", "in cleanup", jobId);

    const std::string workDir = settings.getTmpDir();
    std::string dir;
    {
        std::lock_guard<std::mutex> fields(mFieldsMutex);
        dir = jobDir;
    }
    // A directory that was never resolved holds no files of this job: nothing to remove (and
    // nothing to create just to remove it).
    if (!dir.empty()) {
        const QString absolute = absoluteClean(Q(dir));
        const QFileInfo info(absolute);
        if (!info.isSymLink() && info.isDir() && liesBelow(absolute, workDir)) {
            log->logNormalInfo("cleanup", "removing", S(absolute));
            QDir(absolute).removeRecursively();
        }
    }

    // The design and project levels go too once they are empty (rmdir removes nothing else).
    const QString base = Q(workDir) + QLatin1Char('/');
    auto removeIfEmpty = [&](const QString &path) {
        if (liesBelow(path, workDir) && !QFileInfo(path).isSymLink())
            QDir().rmdir(path);
    };
    if (!designName.empty()) {
        removeIfEmpty(base + (projectName.empty() ? QString() : Q(pathComponent(projectName)) + QLatin1Char('/'))
                      + Q(pathComponent(designName)));
    }
    if (!projectName.empty())
        removeIfEmpty(base + Q(pathComponent(projectName)));

    store->removeJob(jobId);
}

std::string Job::getNode() const
{
    std::lock_guard<std::mutex> fields(mFieldsMutex);
    return node;
}

std::string Job::toRecord() const
{
    nlohmann::json tasksJson = nlohmann::json::array();
    for (const Task &task : tasks) {
        tasksJson.push_back({{"type", task.type}, {"applicationId", task.applicationId}, {"args", task.args},
                             {"source", task.source}, {"target", task.target}, {"relPath", task.relPath},
                             {"numberOfTasks", task.numberOfTasks}, {"priority", task.priority},
                             {"hasPriority", task.hasPriority}, {"numberOfNodes", task.numberOfNodes},
                             {"numberOfCPUsPerTask", task.numberOfCPUsPerTask},
                             {"partitionName", task.partitionName}});
    }
    nlohmann::json record = {{"version", 1},
                             {"state", state.load()},
                             {"outputFiles", outputFiles},
                             {"maxRunTime", maxRunTime},
                             {"tasks", tasksJson},
                             {"projectName", projectName},
                             {"designName", designName},
                             {"removeFiles", removeFiles},
                             {"receivedTimestamp", receivedTimestamp},
                             {"startedTimestamp", startedTimestamp},
                             {"runId", runId},
                             {"runName", runName},
                             {"submitAttempted", mSubmitAttempted},
                             {"cancelOnSlurm", mCancelOnSlurm.load()}};
    {
        std::lock_guard<std::mutex> fields(mFieldsMutex);
        record["jobDir"] = jobDir;
        record["stdOutPath"] = stdOutPath;
        record["node"] = node;
        record["exitCode"] = mExitCode;
        record["reason"] = mReason;
        record["cancelRequester"] = mCancelRequester;
    }
    return quicktype::toJsonText(record);
}

bool Job::fromRecord(const std::string &text)
{
    const nlohmann::json record = nlohmann::json::parse(text, nullptr, false);
    if (!record.is_object())
        return false;
    try {
        const int savedState = record.at("state").get<int>();
        if (savedState < JobWaitingForInput || savedState > JobFinalized)
            return false;
        std::vector<Task> savedTasks;
        for (const nlohmann::json &t : record.at("tasks")) {
            Task task;
            task.type = t.at("type").get<int>();
            task.applicationId = t.at("applicationId").get<int>();
            task.args = t.at("args").get<std::vector<std::string>>();
            task.source = t.at("source").get<std::string>();
            task.target = t.at("target").get<std::string>();
            task.relPath = t.at("relPath").get<std::string>();
            task.numberOfTasks = t.at("numberOfTasks").get<int>();
            task.priority = t.at("priority").get<int>();
            task.hasPriority = t.at("hasPriority").get<bool>();
            task.numberOfNodes = t.at("numberOfNodes").get<int>();
            task.numberOfCPUsPerTask = t.at("numberOfCPUsPerTask").get<int>();
            task.partitionName = t.at("partitionName").get<std::string>();
            savedTasks.push_back(std::move(task));
        }
        // Everything is read before anything is set: a record that fails leaves the job as it was.
        auto files = record.at("outputFiles").get<std::vector<std::string>>();
        const int runTime = record.at("maxRunTime").get<int>();
        auto project = record.at("projectName").get<std::string>();
        auto design = record.at("designName").get<std::string>();
        const bool remove = record.at("removeFiles").get<bool>();
        const int received = record.at("receivedTimestamp").get<int>();
        const int started = record.at("startedTimestamp").get<int>();
        auto run = record.at("runId").get<std::string>();
        auto name = record.at("runName").get<std::string>();
        const bool attempted = record.at("submitAttempted").get<bool>();
        const bool cancelOnSlurm = record.at("cancelOnSlurm").get<bool>();
        auto dir = record.at("jobDir").get<std::string>();
        auto out = record.at("stdOutPath").get<std::string>();
        auto nodes = record.at("node").get<std::string>();
        const int code = record.at("exitCode").get<int>();
        auto why = record.at("reason").get<std::string>();
        auto requester = record.at("cancelRequester").get<std::string>();

        tasks = std::move(savedTasks);
        outputFiles = std::move(files);
        maxRunTime = runTime;
        projectName = std::move(project);
        designName = std::move(design);
        removeFiles = remove;
        receivedTimestamp = received;
        startedTimestamp = started;
        runId = std::move(run);
        runName = std::move(name);
        mSubmitAttempted = attempted;
        mCancelOnSlurm = cancelOnSlurm;
        {
            std::lock_guard<std::mutex> fields(mFieldsMutex);
            jobDir = std::move(dir);
            stdOutPath = std::move(out);
            node = std::move(nodes);
            mExitCode = code;
            mReason = std::move(why);
            mCancelRequester = std::move(requester);
        }
        state = savedState;
        return true;
    } catch (const nlohmann::json::exception &) {
        return false;
    }
}

int Job::getExitCode() const
{
    std::lock_guard<std::mutex> fields(mFieldsMutex);
    return mExitCode;
}

std::string Job::getReason() const
{
    std::lock_guard<std::mutex> fields(mFieldsMutex);
    return mReason;
}

void Job::setOutcome(int exitCode, const std::string &reason)
{
    std::lock_guard<std::mutex> fields(mFieldsMutex);
    mExitCode = exitCode;
    mReason = reason;
}

std::string Job::getStdOutPath() const
{
    std::lock_guard<std::mutex> fields(mFieldsMutex);
    return stdOutPath;
}

std::string Job::getStdOut() const
{
    const std::string path = getStdOutPath();
    if (path.empty())
        return {};
    // Only a regular file inside the job directory: the job could leave a link there.
    return BatchbayJobFiles::readJobOutput(getStoredJobDir(),
                                           BatchbaySettings::instance()->getTmpDir(), path,
                                           sMaxStdOutBytes);
}
