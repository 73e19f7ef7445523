#include "BatchbayHandler.h"
#include "BridgeTestEnv.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

TEST(BatchbayHandlerTest, RegistersItselfAndCreatesTheBridgeTablesOnInit)
{
    BridgeTestEnv env;
    const auto &modules = HXBModule::getModules();
    EXPECT_NE(std::find(modules.begin(), modules.end(), BatchbayHandler::instance().get()),
              modules.end());

    BatchbayHandler::instance()->init();
    EXPECT_TRUE(BatchbayHandler::instance()->isInitialised());
    for (const char *name : {"BatchbayJOBS", "BatchbayAPPS", "BatchbayJOBCOUNTER"})
        EXPECT_TRUE(env.database().hasTable(QLatin1String(name))) << name;
    EXPECT_TRUE(env.database().hasIndex(QStringLiteral("idx_miradoid")));
}

} // namespace
