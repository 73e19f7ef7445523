// Child program for tests of the configuration and logger singletons: a copy of it runs in a
// private directory layout, so HXBConfig::instance() and HXBLogger::instance() see only the
// files a test put there. Each argument is one command; results go to standard output,
// interleaved with the logger's own console lines.
//   dump                        the configuration getters, one "key=value" line each
//   set:<n>                     setDebugLevel(n) -> "set=<true|false> level=<n> name=<name>"
//   inc                         incrementDebugLevel() -> "level=<n> name=<name>"
//   all                         the twelve operations, category = the operation's name, header "h"
//   log:<op>:<cat>:<head>:<det> one operation by name
//   worker:<head>               logLowInfo("worker", head, "") on a thread that then ends
// Entries queued to the main thread are written after each command.
#include "config/HXBConfig.h"
#include "log/HXBLogger.h"

#include <QCoreApplication>
#include <QStringList>

#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <thread>

namespace {

using Op = void (HXBLogger::*)(const std::string &, const std::string &, const std::string &);

const std::map<std::string, Op> &operations()
{
    static const std::map<std::string, Op> ops = {
        {"logLowInfo", &HXBLogger::logLowInfo},
        {"logLowWarn", &HXBLogger::logLowWarn},
        {"logLowCritical", &HXBLogger::logLowCritical},
        {"logNormalInfo", &HXBLogger::logNormalInfo},
        {"logNormalWarn", &HXBLogger::logNormalWarn},
        {"logNormalCritical", &HXBLogger::logNormalCritical},
        {"logHighInfo", &HXBLogger::logHighInfo},
        {"logHighWarn", &HXBLogger::logHighWarn},
        {"logHighCritical", &HXBLogger::logHighCritical},
        {"logDebugInfo", &HXBLogger::logDebugInfo},
        {"logDebugWarn", &HXBLogger::logDebugWarn},
        {"logDebugCritical", &HXBLogger::logDebugCritical},
    };
    return ops;
}

void out(const std::string &line)
{
    const std::string text = "probe: " + line + "\n";
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    HXBConfig *config = HXBConfig::instance();
    const QStringList args = QCoreApplication::arguments().mid(1);
    for (const QString &arg : args) {
        const std::string command = arg.toStdString();
        if (command == "dump") {
            out("file=" + HXBConfig::defaultFilePath().toStdString());
            out("appdir=" + QCoreApplication::applicationDirPath().toStdString());
            out("port=" + std::to_string(config->getPort()));
            out("bind=" + config->getBindAddress());
            out("tokenhours=" + std::to_string(config->getTokenExpirationHours()));
            out("logpath=" + config->getLogPath());
            out("numlogs=" + std::to_string(config->getNumLogs()));
            out("datadir=" + config->getDataDir());
            out("dbtype=" + std::to_string(config->getDBType()));
            out("dbname=" + config->getDBname());
            out("level=" + std::to_string(config->getDebugLevel()));
        } else if (arg.startsWith(QLatin1String("set:"))) {
            const bool ok = config->setDebugLevel(arg.mid(4).toInt());
            out(std::string("set=") + (ok ? "true" : "false") + " level="
                + std::to_string(config->getDebugLevel()) + " name=" + config->getDebugLevelString());
        } else if (command == "inc") {
            config->incrementDebugLevel();
            out("level=" + std::to_string(config->getDebugLevel())
                + " name=" + config->getDebugLevelString());
        } else if (command == "all") {
            for (const auto &[name, op] : operations())
                (HXBLogger::instance()->*op)(name, "h", "");
        } else if (arg.startsWith(QLatin1String("log:"))) {
            const QStringList parts = arg.split(QLatin1Char(':'));
            const auto it = operations().find(parts.value(1).toStdString());
            if (parts.size() != 5 || it == operations().end()) {
                out("bad command " + command);
                return 2;
            }
            (HXBLogger::instance()->*it->second)(parts[2].toStdString(), parts[3].toStdString(),
                                                 parts[4].toStdString());
        } else if (arg.startsWith(QLatin1String("worker:"))) {
            const std::string header = arg.mid(7).toStdString();
            std::thread worker([&header] { HXBLogger::instance()->logLowInfo("worker", header, ""); });
            worker.join();
        } else {
            out("bad command " + command);
            return 2;
        }
        QCoreApplication::sendPostedEvents();
    }
    out("done");
    return 0;
}
