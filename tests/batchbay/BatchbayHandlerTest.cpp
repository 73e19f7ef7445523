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
    for (const char *name : {"BatchbayJOBS", "BatchbayAPPS", "BatchbayJOBCOUNTER", "idx_miradoid"}) {
        EXPECT_EQ(BridgeTestEnv::scalar(
                      QStringLiteral("SELECT COUNT(*) FROM sqlite_master WHERE name='%1';")
                          .arg(QLatin1String(name))),
                  1)
            << name;
    }
}

} // namespace
