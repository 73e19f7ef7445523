#pragma once

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

// What one run of a Slurm command-line tool gave back.
struct SlurmCommandResult
{
    bool started = false;  // the program could be started within the start limit
    bool finished = false; // it exited by itself within the finish limit (else it was killed)
    int exitCode = -1;     // its exit status; -1 unless it finished normally
    QByteArray output;     // standard output, or standard output and error merged
    QByteArray errors;     // standard error when the channels are read apart
    bool truncated = false; // the output passed sMaxOutputBytes and the program was stopped

    // Finished on its own with status 0.
    bool succeeded() const { return finished && exitCode == 0; }
};

// The one way the bridge runs Slurm's tools (sbatch, squeue, scancel, scontrol, sinfo): the
// program is looked up on the server's PATH and started with an explicit argument list,
// never through a shell, and waited for within two bounded limits (to start, then to finish).
// A program still running at the finish limit is killed. run() blocks the calling thread and
// may be called from any thread; it needs no event loop.
class SlurmCommand
{
public:
    enum class Channels {
        StdoutOnly, // standard output read, standard error discarded
        Separate,   // both read, apart
        Merged,     // standard error merged into standard output
    };

    // Limits of the designed calls, in milliseconds.
    static constexpr int sSubmitStartMs = 30000;
    static constexpr int sSubmitFinishMs = 30000;
    static constexpr int sQueryStartMs = 5000;
    static constexpr int sQueryFinishMs = 5000;
    // An answer larger than this is not Slurm's: reading stops and the program is killed.
    static constexpr qint64 sMaxOutputBytes = 512LL * 1024 * 1024;

    SlurmCommand(const QString &program, const QStringList &arguments);

    SlurmCommand &setWorkingDirectory(const QString &dir);
    SlurmCommand &setEnvironment(const QProcessEnvironment &environment);
    SlurmCommand &setChannels(Channels channels);
    SlurmCommand &setLimits(int startMs, int finishMs);

    SlurmCommandResult run() const;

    QString program() const { return mProgram; }
    QStringList arguments() const { return mArguments; }

private:
    QString mProgram;
    QStringList mArguments;
    QString mWorkingDirectory;
    QProcessEnvironment mEnvironment;
    bool mHasEnvironment = false;
    Channels mChannels = Channels::StdoutOnly;
    int mStartMs = sQueryStartMs;
    int mFinishMs = sQueryFinishMs;
};
