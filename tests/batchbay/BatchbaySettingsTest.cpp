#include "BatchbaySettings.h"
#include "BridgeTestEnv.h"

#include <gtest/gtest.h>

namespace {

class BatchbaySettingsTest : public ::testing::Test
{
protected:
    BridgeTestEnv env;
};

TEST_F(BatchbaySettingsTest, MissingFileGivesDefaultsBelowApplicationDirectory)
{
    const BatchbaySettings settings(env.path(QStringLiteral("absent.ini")),
                                    QStringLiteral("/opt/srv/bin"));
    EXPECT_EQ(settings.getDataDir(), "/opt/srv/bin/data/");
    EXPECT_EQ(settings.getTmpDir(), "/opt/srv/bin/data/work/");
    EXPECT_EQ(settings.getJobTemplateDir(), "/opt/srv/bin/data/scripts/");
    EXPECT_FALSE(settings.getRemoveInputDir());
    EXPECT_FALSE(settings.getOversubscribe());
    EXPECT_EQ(settings.getJobListVisibility(), 1);
}

TEST_F(BatchbaySettingsTest, DataDirIsUsedAsConfigured)
{
    const auto settings = env.settings(QStringLiteral("datadir=/srv/cluster/\n"));
    EXPECT_EQ(settings->getTmpDir(), "/srv/cluster/work/");
    EXPECT_EQ(settings->getJobTemplateDir(), "/srv/cluster/scripts/");

    const auto noSlash = env.settings(QStringLiteral("datadir=/srv/data\n"));
    EXPECT_EQ(noSlash->getTmpDir(), "/srv/datawork/");

    // A comma is part of the path, not a list separator.
    const auto comma = env.settings(QStringLiteral("datadir=/srv/a,b/\n"));
    EXPECT_EQ(comma->getDataDir(), "/srv/a,b/");
    EXPECT_EQ(comma->getTmpDir(), "/srv/a,b/work/");
}

TEST_F(BatchbaySettingsTest, ConvertsBooleansAndIntegersLikeQt)
{
    struct Row
    {
        const char *text;
        bool expected;
    };
    const Row rows[] = {{"true", true}, {"1", true},    {"yes", true},   {"TRUE", true},
                        {"false", false}, {"FALSE", false}, {"0", false}, {"\"\"", false}};
    for (const Row &row : rows) {
        const QString value = QString::fromLatin1(row.text);
        const auto settings = env.settings(QStringLiteral("removeInputDir=%1\noversubscribe=%1\n").arg(value));
        EXPECT_EQ(settings->getRemoveInputDir(), row.expected) << row.text;
        EXPECT_EQ(settings->getOversubscribe(), row.expected) << row.text;
    }

    const auto three = env.settings(QStringLiteral("[Batchbay]\njoblist_visibility=3\n"));
    EXPECT_EQ(three->getJobListVisibility(), 3);
    const auto garbage = env.settings(QStringLiteral("[Batchbay]\njoblist_visibility=abc\n"));
    EXPECT_EQ(garbage->getJobListVisibility(), 0);
}

} // namespace
