#include "HXBServer.h"

#include "config/HXBConfig.h"
#include "log/HXBLogger.h"
#include "util/HXBStringUtils.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFileInfo>
#include <QHostInfo>
#include <QPluginLoader>
#include <QStringList>
#include <QTimer>

#include <boost/format.hpp>

#include <cstdio>
#include <cstdlib>

#include <malloc.h>
#include <sys/stat.h>

// Build inputs: a snapshot build (version containing "snap") passes the commit time in seconds
// since the epoch.
#ifndef HXB_VERSION
#define HXB_VERSION "1.1.0"
#endif
#ifndef HXB_COMMIT_TIME
#define HXB_COMMIT_TIME 0
#endif

namespace {
const std::string sVersion = HXB_VERSION;
const std::string sBuildDate = "15.06.2026";
const qint64 sCommitTime = HXB_COMMIT_TIME;
const char *const sPluginPath = "sqldrivers/libqsqlite.so";

// Start-up cannot go on: the entries are out (each log write is flushed), so the process ends
// here, without running the destructors of process-wide objects (which would add the log
// file's closing lines).
[[noreturn]] void endStartup(int status)
{
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(status);
}
} // namespace

int main(int argc, char **argv)
{
    // Everything the server creates (database, logs, spool, job directories, uploads) holds
    // users' data: private to the service account.
    ::umask(077);
    auto *app = new QCoreApplication(argc, argv);
    HXBConfig *config = HXBConfig::instance();
    HXBLogger *log = HXBLogger::instance();
    const qint64 pid = QCoreApplication::applicationPid();

    log->logNormalInfo("Starting HXB Sever",
                       S(QCoreApplication::applicationFilePath()) + ", PID: " + fromNumber(pid),
                       S(QDateTime::currentDateTime().toString(Qt::TextDate)));

    QString pluginPath = QCoreApplication::applicationDirPath() + QStringLiteral("/")
                         + QLatin1String(sPluginPath);
    if (!QFileInfo::exists(pluginPath)) {
        log->logNormalCritical(
            "loadPlugin",
            (boost::format("Plugin not found: %1%") % S(QFileInfo(pluginPath).absoluteFilePath())).str(),
            "");
        endStartup(1);
    }
    while (pluginPath.contains(QStringLiteral("//")))
        pluginPath.replace(QStringLiteral("//"), QStringLiteral("/"));
    auto *loader = new QPluginLoader(pluginPath, app);
    if (!loader->load()) {
        std::fputs(loader->errorString().toUtf8().constData(), stdout);
        std::fputs("\n", stdout);
        std::fflush(stdout);
        log->logNormalCritical(
            "loadPlugin",
            (boost::format("loading plugin failed %1%") % S(QFileInfo(pluginPath).absoluteFilePath()))
                .str(),
            "");
        endStartup(1);
    }

    config->setDebugLevel(3);

    std::string date = sBuildDate;
    if (sVersion.find("snap") != std::string::npos) {
        const QDateTime commitTime = QDateTime::fromSecsSinceEpoch(sCommitTime);
        log->logNormalInfo("Build version",
                           "GIT timestamp "
                               + S(commitTime.toString(QStringLiteral("dd.MM.yyyy hh:mm:ss"))),
                           "Branch: " + std::string("HEAD") + " - Hash: " + sVersion);
        date = S(commitTime.toString(Qt::TextDate));
    }

    std::string banner = "version:" + sVersion + " (" + date + "), ";
    const std::string bindAddress = config->getBindAddress();
    if (!bindAddress.empty() && bindAddress != "0.0.0.0" && bindAddress != "*")
        banner += bindAddress + ":";
    banner += fromNumber(config->getPort()) + " @ " + S(QHostInfo::localHostName());
    banner += " - Debug";
    banner += " PID: " + fromNumber(pid);
    const QStringList extraLines;
    log->logNormalWarn("Startup ", banner, S(extraLines.join(QStringLiteral("<br>\n"))));

    HXBServer server;

    // Memory that the connection threads free stays with the allocator's per-thread arenas, and
    // under load the process would keep the peak of every arena. Once a minute it goes back to
    // the system.
    QTimer trim;
    trim.setInterval(60 * 1000);
    QObject::connect(&trim, &QTimer::timeout, []() { malloc_trim(0); });
    trim.start();

    return QCoreApplication::exec();
}
