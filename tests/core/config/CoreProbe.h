#pragma once

// Runs a copy of the hxbcoreprobe program in a private directory layout
// (<root>/bin/hxbcoreprobe), so the configuration and logger singletons see only the files a
// test put under <root>.

#include "QtGTestPrinters.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>

namespace hxbtest {

struct ProbeResult
{
    int exitCode = -1;
    QString output;

    // Lines the probe printed itself, without their "probe: " prefix.
    QStringList probeLines() const
    {
        QStringList lines;
        for (const QString &line : output.split(QLatin1Char('\n'))) {
            if (line.startsWith(QLatin1String("probe: ")))
                lines << line.mid(7);
        }
        return lines;
    }
    // Lines of the logger's console output.
    QStringList logLines() const
    {
        QStringList lines;
        for (const QString &line : output.split(QLatin1Char('\n'))) {
            if (line.startsWith(QLatin1String("*** ")))
                lines << line;
        }
        return lines;
    }
};

inline QString probeBinDir(const QString &root)
{
    return root + QStringLiteral("/bin");
}

// workDir empty: the layout root.
inline ProbeResult runProbe(const QString &root, const QStringList &args,
                            const QString &workDir = QString())
{
    ProbeResult result;
    const QString bin = probeBinDir(root);
    QDir().mkpath(bin);
    const QString exe = bin + QStringLiteral("/hxbcoreprobe");
    if (!QFile::exists(exe) && !QFile::copy(QStringLiteral(HXB_CORE_PROBE), exe))
        return result;
    QProcess process;
    process.setProgram(exe);
    process.setArguments(args);
    process.setWorkingDirectory(workDir.isEmpty() ? root : workDir);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start();
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished(5000);
        return result;
    }
    result.output = QString::fromUtf8(process.readAll());
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return result;
}

inline bool writeTextFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return file.write(content) == content.size();
}

inline QByteArray readTextFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

} // namespace hxbtest
