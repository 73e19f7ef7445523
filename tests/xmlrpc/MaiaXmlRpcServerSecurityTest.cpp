#include "xmlrpc/MaiaXmlRpcServerSecurity.h"

#include <gtest/gtest.h>

namespace {

TEST(MaiaXmlRpcServerSecurityTest, MapsRegisteredMethodsToSlotNames)
{
    MaiaXmlRpcServerSecurity *table = MaiaXmlRpcServerSecurity::instance();
    ASSERT_EQ(table, MaiaXmlRpcServerSecurity::instance());
    table->addMethod("securityTest.getState", "jobState");
    table->addMethod("securityTest.other", "first");
    table->addMethod("securityTest.other", "second");
    EXPECT_EQ(table->slotName("securityTest.getState"), "jobState");
    EXPECT_EQ(table->slotName("securityTest.other"), "second");
    EXPECT_TRUE(table->slotName("securityTest.getstate").isEmpty());
    EXPECT_TRUE(table->slotName("jobState").isEmpty());
    table->addMethod("securityTest.other", nullptr);
    EXPECT_TRUE(table->slotName("securityTest.other").isEmpty());
}

} // namespace
