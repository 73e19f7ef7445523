#include "SlurmCommand.h"

#include <QDeadlineTimer>
#include <QProcess>

SlurmCommand::SlurmCommand(const QString &program, const QStringList &arguments)
    : mProgram(program)
    , mArguments(arguments)
{}

SlurmCommand &SlurmCommand::setWorkingDirectory(const QString &dir)
{
    mWorkingDirectory = dir;
    return *this;
}

SlurmCommand &SlurmCommand::setEnvironment(const QProcessEnvironment &environment)
{
    mEnvironment = environment;
    mHasEnvironment = true;
    return *this;
}

SlurmCommand &SlurmCommand::setChannels(Channels channels)
{
    mChannels = channels;
    return *this;
}

SlurmCommand &SlurmCommand::setLimits(int startMs, int finishMs)
{
    mStartMs = startMs;
    mFinishMs = finishMs;
    return *this;
}

SlurmCommandResult SlurmCommand::run() const
{
    SlurmCommandResult result;
    QProcess process;
    process.setProgram(mProgram);
    process.setArguments(mArguments);
    if (!mWorkingDirectory.isEmpty())
        process.setWorkingDirectory(mWorkingDirectory);
    if (mHasEnvironment)
        process.setProcessEnvironment(mEnvironment);
    switch (mChannels) {
    case Channels::StdoutOnly:
        process.setStandardErrorFile(QProcess::nullDevice());
        break;
    case Channels::Separate:
        break;
    case Channels::Merged:
        process.setProcessChannelMode(QProcess::MergedChannels);
        break;
    }
    process.setStandardInputFile(QProcess::nullDevice());

    process.start(QIODevice::ReadOnly);
    if (!process.waitForStarted(mStartMs)) {
        process.kill();
        process.waitForFinished(1000);
        return result;
    }
    result.started = true;

    // Read as the output arrives, so that the pipe never fills and an oversized answer is
    // noticed before it fills the memory.
    const QDeadlineTimer deadline(mFinishMs);
    auto drain = [&]() {
        result.output += process.readAllStandardOutput();
        if (mChannels == Channels::Separate)
            result.errors += process.readAllStandardError();
        return result.output.size() + result.errors.size() <= sMaxOutputBytes;
    };
    while (process.state() != QProcess::NotRunning) {
        const qint64 left = deadline.remainingTime();
        if (left <= 0)
            break;
        if (!process.waitForReadyRead(int(qMin<qint64>(left, 1000)))
            && process.state() != QProcess::NotRunning) {
            // Nothing to read: either the time slice passed or the output was closed early.
            process.waitForFinished(int(qMin<qint64>(deadline.remainingTime(), 50)));
        }
        if (!drain()) {
            result.truncated = true;
            break;
        }
    }
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(1000);
        drain();
        return result;
    }
    drain();
    result.finished = process.exitStatus() == QProcess::NormalExit;
    if (result.finished)
        result.exitCode = process.exitCode();
    return result;
}
