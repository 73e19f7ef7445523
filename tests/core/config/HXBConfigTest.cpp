#include "config/HXBConfig.h"

#include "CoreProbe.h"

#include <QCoreApplication>
#include <QDir>
#include <QMap>
#include <QSettings>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>

namespace {

QMap<QString, QString> parseDump(const QStringList &lines)
{
    QMap<QString, QString> values;
    for (const QString &line : lines) {
        const int eq = line.indexOf(QLatin1Char('='));
        if (eq > 0)
            values.insert(line.left(eq), line.mid(eq + 1));
    }
    return values;
}

class HXBConfigTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(mDir.isValid()); }

    QString root() const { return mDir.path(); }
    QString binDir() const { return QDir(hxbtest::probeBinDir(root())).canonicalPath(); }

    // The probe's "dump" in the layout under root().
    QMap<QString, QString> dump()
    {
        const hxbtest::ProbeResult result = hxbtest::runProbe(root(), {QStringLiteral("dump")});
        EXPECT_EQ(result.exitCode, 0) << result.output.toStdString();
        return parseDump(result.probeLines());
    }

    HXBConfig configFrom(const QByteArray &ini)
    {
        // A new file each time: QSettings caches a file's contents per path within a process and
        // may not notice a rewrite of the same size within the same second.
        const QString path = root() + QStringLiteral("/test%1.ini").arg(++mFileCount);
        EXPECT_TRUE(hxbtest::writeTextFile(path, ini));
        return HXBConfig(path);
    }

    QTemporaryDir mDir;
    int mFileCount = 0;
};

TEST_F(HXBConfigTest, DefaultsWithoutAnyFile)
{
    QDir().mkpath(hxbtest::probeBinDir(root()));
    const QMap<QString, QString> values = dump();
    const QString appDir = values.value(QStringLiteral("appdir"));
    EXPECT_EQ(appDir, binDir());
    EXPECT_EQ(values.value(QStringLiteral("file")), appDir + QStringLiteral("/hxbconfig.ini"));
    EXPECT_EQ(values.value(QStringLiteral("port")), QStringLiteral("5170"));
    EXPECT_EQ(values.value(QStringLiteral("bind")), QStringLiteral("127.0.0.1"));
    EXPECT_EQ(values.value(QStringLiteral("tokenhours")), QStringLiteral("1"));
    EXPECT_EQ(values.value(QStringLiteral("numlogs")), QStringLiteral("1000"));
    EXPECT_EQ(values.value(QStringLiteral("dbtype")), QStringLiteral("0"));
    EXPECT_EQ(values.value(QStringLiteral("dbname")), QStringLiteral("db.sqlite"));
    EXPECT_EQ(values.value(QStringLiteral("logpath")), appDir + QStringLiteral("/logs/"));
    EXPECT_EQ(values.value(QStringLiteral("datadir")), appDir + QStringLiteral("/data/"));
    EXPECT_EQ(values.value(QStringLiteral("level")), QStringLiteral("1"));
}

TEST_F(HXBConfigTest, FileAboveExecutableWinsOverFileBesideIt)
{
    QDir().mkpath(hxbtest::probeBinDir(root()));
    ASSERT_TRUE(hxbtest::writeTextFile(root() + QStringLiteral("/hxbconfig.ini"),
                                       "[Core]\nport=1111\n"));
    ASSERT_TRUE(hxbtest::writeTextFile(hxbtest::probeBinDir(root()) + QStringLiteral("/hxbconfig.ini"),
                                       "[Core]\nport=2222\nbind_address=10.1.2.3\n"));
    const QMap<QString, QString> values = dump();
    EXPECT_EQ(values.value(QStringLiteral("file")),
              values.value(QStringLiteral("appdir")) + QStringLiteral("/../hxbconfig.ini"));
    EXPECT_EQ(values.value(QStringLiteral("port")), QStringLiteral("1111"));
    // Nothing is merged from the file that lost.
    EXPECT_EQ(values.value(QStringLiteral("bind")), QStringLiteral("127.0.0.1"));
}

TEST_F(HXBConfigTest, FileBesideExecutableUsedWhenNoneAbove)
{
    QDir().mkpath(hxbtest::probeBinDir(root()));
    ASSERT_TRUE(hxbtest::writeTextFile(hxbtest::probeBinDir(root()) + QStringLiteral("/hxbconfig.ini"),
                                       "[Core]\nport=2222\n"));
    EXPECT_EQ(dump().value(QStringLiteral("port")), QStringLiteral("2222"));
}

TEST_F(HXBConfigTest, MissingFileGivesDefaults)
{
    HXBConfig config(root() + QStringLiteral("/absent.ini"));
    EXPECT_EQ(config.getPort(), 5170);
    EXPECT_EQ(config.getBindAddress(), "127.0.0.1");
    EXPECT_EQ(config.getTokenExpirationHours(), 1);
    EXPECT_EQ(config.getNumLogs(), 1000);
    EXPECT_EQ(config.getDBType(), 0);
    EXPECT_EQ(config.getDBname(), "db.sqlite");
    EXPECT_EQ(config.getLogPath(), QCoreApplication::applicationDirPath().toStdString() + "/logs/");
    EXPECT_EQ(config.getDataDir(), QCoreApplication::applicationDirPath().toStdString() + "/data/");
    EXPECT_EQ(config.getDebugLevel(), 1);
    EXPECT_EQ(config.getDebugLevelString(), "normal");
}

struct KeyCase
{
    const char *ini;
    std::function<std::string(HXBConfig &)> getter;
    std::string expected;
};

TEST_F(HXBConfigTest, ReadsKeysAsConfigured)
{
    const KeyCase cases[] = {
        {"[Core]\nlogpath=/var/x\n", &HXBConfig::getLogPath, "/var/x/logs/"},
        {"[Core]\nlogpath=/var/x/\n", &HXBConfig::getLogPath, "/var/x//logs/"},
        {"[Core]\ndatadir=/srv/d\n", &HXBConfig::getDataDir, "/srv/d"},
        {"[Core]\nbind_address=0.0.0.0\n", &HXBConfig::getBindAddress, "0.0.0.0"},
        {"[Core]\nbind_address=\n", &HXBConfig::getBindAddress, ""},
        {"[DB]\nname=d\xc3\xa4t.sqlite\n", &HXBConfig::getDBname, "d\xc3\xa4t.sqlite"},
        // A comma is part of the text, not a list separator.
        {"[Core]\nlogpath=/srv/a,b\n", &HXBConfig::getLogPath, "/srv/a,b/logs/"},
        {"[Core]\ndatadir=/srv/a,b/\n", &HXBConfig::getDataDir, "/srv/a,b/"},
        {"[Core]\nbind_address=a,b\n", &HXBConfig::getBindAddress, "a,b"},
        {"[DB]\nname=a,b.sqlite\n", &HXBConfig::getDBname, "a,b.sqlite"},
        {"[Core]\nport=6000\n", [](HXBConfig &c) { return std::to_string(c.getPort()); }, "6000"},
        {"[Core]\nport=abc\n", [](HXBConfig &c) { return std::to_string(c.getPort()); }, "0"},
        {"[Core]\ntoken_expiration_hours=12\n",
         [](HXBConfig &c) { return std::to_string(c.getTokenExpirationHours()); }, "12"},
        {"[Core]\nlogkeep=3\n", [](HXBConfig &c) { return std::to_string(c.getNumLogs()); }, "3"},
        // numLogs is the logger's own key, not logkeep.
        {"[Core]\nnumLogs=3\n", [](HXBConfig &c) { return std::to_string(c.getNumLogs()); }, "1000"},
        {"[DB]\ntype=1\n", [](HXBConfig &c) { return std::to_string(c.getDBType()); }, "1"},
        // A key outside its section is a different key.
        {"port=7000\n", [](HXBConfig &c) { return std::to_string(c.getPort()); }, "5170"},
    };
    for (const KeyCase &c : cases) {
        HXBConfig config = configFrom(c.ini);
        EXPECT_EQ(c.getter(config), c.expected) << c.ini;
    }
}

TEST_F(HXBConfigTest, TextValueIsTheWholeConfiguredText)
{
    const QString path = root() + QStringLiteral("/text.ini");
    ASSERT_TRUE(hxbtest::writeTextFile(path, "[DB]\npassword=pa,ss\nuser=\"x,y\"\nhost=h\n"
                                             "name=,\n"));
    const QSettings settings(path, QSettings::IniFormat);
    const struct
    {
        const char *key;
        QString expected;
    } cases[] = {
        {"DB/password", QStringLiteral("pa,ss")},
        {"DB/user", QStringLiteral("x,y")},
        {"DB/host", QStringLiteral("h")},
        {"DB/name", QStringLiteral(",")},
        {"DB/port", QStringLiteral("fallback")},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(HXBConfig::textValue(settings, QLatin1String(c.key), QStringLiteral("fallback")),
                  c.expected)
            << c.key;
    }
}

TEST_F(HXBConfigTest, DebugLevelRules)
{
    QDir().mkpath(hxbtest::probeBinDir(root()));
    const hxbtest::ProbeResult result = hxbtest::runProbe(
        root(), {"set:4", "set:-1", "set:0", "inc", "inc", "inc", "inc", "set:3", "inc", "set:2"});
    ASSERT_EQ(result.exitCode, 0) << result.output.toStdString();
    const QStringList expected = {
        "set=false level=1 name=normal", "set=false level=1 name=normal",
        "set=true level=0 name=low",     "level=1 name=normal",
        "level=2 name=high",             "level=3 name=higher",
        "level=0 name=low",              "set=true level=3 name=higher",
        "level=0 name=low",              "set=true level=2 name=high",
        "done",
    };
    EXPECT_EQ(result.probeLines(), expected);

    // Every attempt is logged at the lowest tier, so it is written whatever the level.
    QStringList logged = result.logLines();
    logged.removeIf([](const QString &line) { return !line.startsWith(QLatin1String("*** INFO HXBConfig : ")); });
    const QStringList expectedLog = {
        "*** INFO HXBConfig : debuglevel changing failed, currently: [normal]",
        "*** INFO HXBConfig : debuglevel changing failed, currently: [normal]",
        "*** INFO HXBConfig : debuglevel changed, currently: [low]",
        "*** INFO HXBConfig : debuglevel changed, currently: [normal]",
        "*** INFO HXBConfig : debuglevel changed, currently: [high]",
        "*** INFO HXBConfig : debuglevel changed, currently: [higher]",
        "*** INFO HXBConfig : debuglevel changed, currently: [low]",
        "*** INFO HXBConfig : debuglevel changed, currently: [higher]",
        "*** INFO HXBConfig : debuglevel changed, currently: [low]",
        "*** INFO HXBConfig : debuglevel changed, currently: [high]",
    };
    EXPECT_EQ(logged, expectedLog);
}

} // namespace
