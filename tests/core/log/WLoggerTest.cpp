#include "log/WAppender.h"
#include "log/WFormater.h"
#include "log/WLogLevel.h"
#include "log/WLogger.h"
#include "log/WLoggingEvent.h"

#include "TestSupport.h"

#include <QMetaType>
#include <QPointer>
#include <QThread>

#include "QtGTestPrinters.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

using namespace WLog;

namespace {

// Records which slot received which event, and on which thread.
class RecordingAppender : public WAppender
{
public:
    using WAppender::WAppender;

    struct Call
    {
        QString slot;
        WLoggingEvent event;
        QThread *thread;
    };
    std::vector<Call> calls;

    QStringList slots() const
    {
        QStringList names;
        for (const Call &call : calls)
            names << call.slot;
        return names;
    }

    void logDebug(const WLoggingEvent &e) override { record(QStringLiteral("debug"), e); }
    void logInfo(const WLoggingEvent &e) override { record(QStringLiteral("info"), e); }
    void logWarn(const WLoggingEvent &e) override { record(QStringLiteral("warn"), e); }
    void logError(const WLoggingEvent &e) override { record(QStringLiteral("error"), e); }
    void logCritical(const WLoggingEvent &e) override { record(QStringLiteral("critical"), e); }

private:
    void record(const QString &slot, const WLoggingEvent &e)
    {
        calls.push_back({slot, e, QThread::currentThread()});
    }
};

void logAllLevels(WLogger &logger)
{
    logger.debug(QStringLiteral("c"), QStringLiteral("debug"), QString());
    logger.info(QStringLiteral("c"), QStringLiteral("info"), QString());
    logger.warn(QStringLiteral("c"), QStringLiteral("warn"), QString());
    logger.error(QStringLiteral("c"), QStringLiteral("error"), QString());
    logger.critical(QStringLiteral("c"), QStringLiteral("critical"), QString());
}

class WLoggerTest : public ::testing::Test
{
protected:
    WLogger mLogger;
};

TEST_F(WLoggerTest, RegistrationLevelSelectsLevelAndAbove)
{
    const struct
    {
        const WLogLevel &level;
        QStringList received;
    } cases[] = {
        {WLogLevel::WDEBUG, {"debug", "info", "warn", "error", "critical"}},
        {WLogLevel::WINFO, {"info", "warn", "error", "critical"}},
        {WLogLevel::WWARN, {"warn", "error", "critical"}},
        {WLogLevel::WERROR, {"error", "critical"}},
        {WLogLevel::WCRITICAL, {"critical"}},
    };
    for (const auto &c : cases) {
        WLogger logger;
        auto *appender = new RecordingAppender;
        logger.registerAppender(appender, c.level);
        logAllLevels(logger);
        EXPECT_EQ(appender->slots(), c.received) << c.level.getName().toStdString();
        for (const auto &call : appender->calls) {
            EXPECT_EQ(call.event.getHeader(), call.slot); // each slot got its own level's event
            EXPECT_EQ(call.event.getLogLevel().getName().toLower(), call.slot);
        }
    }
}

TEST_F(WLoggerTest, ReRegistrationReplacesLevel)
{
    auto *appender = new RecordingAppender;
    mLogger.registerAppender(appender, WLogLevel::WDEBUG);
    mLogger.registerAppender(appender, WLogLevel::WCRITICAL);
    logAllLevels(mLogger);
    EXPECT_EQ(appender->slots(), QStringList{"critical"});
}

TEST_F(WLoggerTest, RegistrationAtUndefinedDeregisters)
{
    RecordingAppender appender; // owned by the test again once deregistered
    mLogger.registerAppender(&appender, WLogLevel::WINFO);
    ASSERT_TRUE(mLogger.isRegistered(&appender));
    mLogger.registerAppender(&appender, WLogLevel());
    EXPECT_FALSE(mLogger.isRegistered(&appender));
    logAllLevels(mLogger);
    EXPECT_TRUE(appender.calls.empty());

    RecordingAppender fresh;
    mLogger.registerAppender(&fresh, WLogLevel());
    EXPECT_FALSE(mLogger.isRegistered(&fresh));
    logAllLevels(mLogger);
    EXPECT_TRUE(fresh.calls.empty());
}

TEST_F(WLoggerTest, DeregisterStopsDeliveryAndHandsOwnershipBack)
{
    RecordingAppender appender;
    mLogger.registerAppender(&appender, WLogLevel::WDEBUG);
    mLogger.deregisterAppender(&appender);
    mLogger.deregisterAppender(nullptr);
    mLogger.registerAppender(nullptr, WLogLevel::WDEBUG);
    logAllLevels(mLogger);
    EXPECT_TRUE(appender.calls.empty());
    EXPECT_FALSE(mLogger.isRegistered(&appender));
}

TEST_F(WLoggerTest, DeletesRegisteredAppendersOnDestruction)
{
    auto *logger = new WLogger;
    QPointer<RecordingAppender> kept = new RecordingAppender;
    QPointer<RecordingAppender> released = new RecordingAppender;
    logger->registerAppender(kept, WLogLevel::WDEBUG);
    logger->registerAppender(released, WLogLevel::WDEBUG);
    logger->deregisterAppender(released);
    delete logger;
    EXPECT_TRUE(kept.isNull());
    ASSERT_FALSE(released.isNull());
    delete released.data();
}

TEST_F(WLoggerTest, UtcFlagStampsEventsAndReachesAppendersAndFormatters)
{
    auto *before = new RecordingAppender(new WFormater);
    mLogger.registerAppender(before, WLogLevel::WDEBUG);
    mLogger.info(QStringLiteral("c"), QStringLiteral("local"), QString());
    mLogger.setUseUtc(true);
    EXPECT_TRUE(before->getUseUtc());
    EXPECT_TRUE(before->getFormater()->getUseUtc());
    auto *after = new RecordingAppender;
    mLogger.registerAppender(after, WLogLevel::WDEBUG);
    EXPECT_TRUE(after->getUseUtc());
    mLogger.info(QStringLiteral("c"), QStringLiteral("utc"), QString());

    ASSERT_EQ(before->calls.size(), 2u);
    EXPECT_EQ(before->calls[0].event.getTimeStamp().timeSpec(), Qt::LocalTime);
    EXPECT_EQ(before->calls[1].event.getTimeStamp().timeSpec(), Qt::UTC);
    const qint64 skew = before->calls[1].event.getTimeStamp().secsTo(QDateTime::currentDateTimeUtc());
    EXPECT_LE(std::abs(skew), 60);

    mLogger.setUseUtc(false);
    EXPECT_FALSE(after->getUseUtc());
}

TEST_F(WLoggerTest, AppenderSetFormaterPassesUtcAndTakeFormaterReleasesIt)
{
    RecordingAppender appender;
    appender.setUseUtc(true);
    auto *formater = new WFormater;
    appender.setFormater(formater);
    EXPECT_TRUE(formater->getUseUtc());
    EXPECT_EQ(appender.takeFormater(), formater);
    EXPECT_EQ(appender.getFormater(), nullptr);
    delete formater;
}

TEST_F(WLoggerTest, EventFromOtherThreadIsQueuedToAppenderThread)
{
    auto *appender = new RecordingAppender;
    mLogger.registerAppender(appender, WLogLevel::WDEBUG);
    quintptr workerThread = 0;
    std::thread worker([&] {
        workerThread = reinterpret_cast<quintptr>(QThread::currentThread());
        mLogger.warn(QStringLiteral("worker"), QStringLiteral("from afar"), QStringLiteral("d"));
    });
    worker.join();
    // Nothing is written until this thread's event loop runs.
    EXPECT_TRUE(appender->calls.empty());
    ASSERT_TRUE(hxbtest::waitUntil([&] { return !appender->calls.empty(); }, 10000));
    const auto &call = appender->calls.front();
    EXPECT_EQ(call.thread, QThread::currentThread());
    EXPECT_EQ(call.slot, QStringLiteral("warn"));
    EXPECT_EQ(call.event.getThreadAddress(), workerThread);
    EXPECT_NE(call.event.getThreadAddress(), reinterpret_cast<quintptr>(QThread::currentThread()));
    EXPECT_EQ(call.event.getCategory(), QStringLiteral("worker"));
    EXPECT_EQ(call.event.getDetails(), QStringLiteral("d"));
}

TEST_F(WLoggerTest, EventTypeIsRegisteredUnderItsName)
{
    EXPECT_TRUE(WLogger::sRegistered);
    const QMetaType type = QMetaType::fromName("WLoggingEvent");
    ASSERT_TRUE(type.isValid());
    EXPECT_EQ(type.id(), QMetaType::fromType<WLoggingEvent>().id());
}

TEST_F(WLoggerTest, TestEmitsOneEventPerLevelThenDone)
{
    auto *appender = new RecordingAppender;
    mLogger.registerAppender(appender, WLogLevel::WDEBUG);
    bool done = false;
    QObject::connect(&mLogger, &WLogger::testDone, [&] {
        done = appender->calls.size() == 5;
    });
    mLogger.test();
    EXPECT_TRUE(done);
    ASSERT_EQ(appender->slots(), (QStringList{"debug", "info", "warn", "error", "critical"}));
    const char *headers[] = {"This is a debug message", "This is a info message",
                             "This is a warn message", "This is a error message",
                             "This is a critical message"};
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(appender->calls[i].event.getCategory(), QStringLiteral("WLogger"));
        EXPECT_EQ(appender->calls[i].event.getHeader(), QString::fromLatin1(headers[i]));
        EXPECT_EQ(appender->calls[i].event.getDetails(), QStringLiteral("This is the body"));
    }
}

TEST(WLogLevelTest, ProcessWideLevelsAndDefault)
{
    const struct
    {
        const WLogLevel &level;
        const char *name;
        WLoggingLevel number;
    } cases[] = {
        {WLogLevel::WDEBUG, "DEBUG", DEBUG}, {WLogLevel::WINFO, "INFO", INFO},
        {WLogLevel::WWARN, "WARN", WARN},    {WLogLevel::WERROR, "ERROR", ERROR},
        {WLogLevel::WCRITICAL, "CRITICAL", CRITICAL},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(QString(c.level), QString::fromLatin1(c.name));
        EXPECT_EQ(c.level.getLevel(), c.number);
    }
    const WLogLevel undefined;
    EXPECT_EQ(QString(undefined), QStringLiteral("UNDEFINED"));
    EXPECT_EQ(undefined.getLevel(), UNDEFINED);

    const WLoggingEvent empty;
    EXPECT_TRUE(empty.getCategory().isEmpty());
    EXPECT_EQ(empty.getThreadAddress(), 0u);
    EXPECT_EQ(empty.getLogLevel().getLevel(), UNDEFINED);
}

} // namespace
