#include "ModuleTestJournal.h"
#include "TestSupport.h"

#include "BatchbayHandler.h"
#include "ctrl/HXBCtrl.h"
#include "ctrl/HXBDBCtrl.h"
#include "db/HXBDB.h"
#include "module/HXBModule.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <dlfcn.h>
#include <memory>
#include <stdexcept>
#include <string>

int moduleTestSecondAnchor();

namespace {

using Strings = std::vector<std::string>;

class ThrowsOnceModule : public HXBModule
{
public:
    int attempts = 0;

protected:
    void doInit() override
    {
        moduleTestJournal().push_back("throws once");
        if (attempts++ == 0)
            throw std::runtime_error("first attempt fails");
    }
};

class PlainModule : public HXBModule
{
};

class ExecutableModule : public HXBModule
{
protected:
    void doInit() override { moduleTestJournal().push_back("executable"); }
};

// Registered in this order after every library's modules.
const auto sThrowsOnce = std::make_shared<ThrowsOnceModule>();
const auto sPlain = std::make_shared<PlainModule>();
const auto sExecutable = std::make_shared<ExecutableModule>();

// The file of the library (or executable) that defines the module's class.
std::string libraryOf(const HXBModule *module)
{
    const void *vtable = *reinterpret_cast<const void *const *>(module);
    Dl_info info{};
    if (!dladdr(vtable, &info) || !info.dli_fname)
        return std::string();
    const std::string path = info.dli_fname;
    return path.substr(path.find_last_of('/') + 1);
}

std::ptrdiff_t indexOf(const HXBModule *module)
{
    const auto &modules = HXBModule::getModules();
    const auto it = std::find(modules.begin(), modules.end(), module);
    return it == modules.end() ? -1 : it - modules.begin();
}

class HXBModuleTest : public ::testing::Test
{
};

TEST_F(HXBModuleTest, RegistrationFollowsLibraryLoadOrder)
{
    ASSERT_EQ(moduleTestSecondAnchor(), 2);
    const auto &modules = HXBModule::getModules();
    std::vector<std::string> libraries;
    for (const HXBModule *module : modules)
        libraries.push_back(libraryOf(module));

    const std::ptrdiff_t bridge = indexOf(BatchbayHandler::mpInstance.get());
    ASSERT_GE(bridge, 0);
    EXPECT_EQ(libraries[bridge], "libbatchbay.so");
    EXPECT_EQ(std::count(modules.begin(), modules.end(), BatchbayHandler::mpInstance.get()), 1);

    // The core's modules come before the bridge's, which links the core.
    for (std::size_t i = 0; i < libraries.size(); ++i) {
        if (libraries[i] == "libhxbcore.so") {
            EXPECT_LT(static_cast<std::ptrdiff_t>(i), bridge) << "core module at " << i;
        }
    }

    const auto first = std::find(libraries.begin(), libraries.end(), "libmoduleTestFirst.so");
    const auto second = std::find(libraries.begin(), libraries.end(), "libmoduleTestSecond.so");
    ASSERT_NE(first, libraries.end());
    ASSERT_NE(second, libraries.end());
    EXPECT_LT(first, second);

    // The executable's own modules are registered last, in the order of their definitions.
    ASSERT_GE(modules.size(), 3u);
    EXPECT_EQ(modules[modules.size() - 3], sThrowsOnce.get());
    EXPECT_EQ(modules[modules.size() - 2], sPlain.get());
    EXPECT_EQ(modules[modules.size() - 1], sExecutable.get());
}

TEST_F(HXBModuleTest, InitModulesInitialisesEachModuleOnceInOrder)
{
    // The real modules of the linked libraries initialise against a private database.
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    HXBDB::setDatabase(0, dir.filePath(QStringLiteral("modules.sqlite")).toStdString());
    HXBCtrl::instance();
    HXBDBCtrl::instance();

    moduleTestJournal().clear();
    HXBModule::initModules();
    EXPECT_EQ(moduleTestJournal(),
              (Strings{"first library", "second library", "throws once", "executable"}));
    EXPECT_FALSE(sThrowsOnce->isInitialised());
    EXPECT_TRUE(sPlain->isInitialised());
    EXPECT_TRUE(sExecutable->isInitialised());

    // A second call initialises only what failed before.
    moduleTestJournal().clear();
    HXBModule::initModules();
    EXPECT_EQ(moduleTestJournal(), Strings{"throws once"});
    EXPECT_EQ(sThrowsOnce->attempts, 2);

    moduleTestJournal().clear();
    HXBModule::initModules();
    EXPECT_TRUE(moduleTestJournal().empty());
    for (const HXBModule *module : HXBModule::getModules())
        EXPECT_TRUE(module->isInitialised()) << libraryOf(module);
    HXBDB::disconnect();
}

TEST_F(HXBModuleTest, DestroyedModuleLeavesTheRegistry)
{
    const std::size_t before = HXBModule::getModules().size();
    {
        PlainModule temporary;
        EXPECT_EQ(HXBModule::getModules().size(), before + 1);
        EXPECT_EQ(HXBModule::getModules().back(), &temporary);
        temporary.init();
        EXPECT_TRUE(temporary.isInitialised());
    }
    EXPECT_EQ(HXBModule::getModules().size(), before);
    EXPECT_EQ(indexOf(sExecutable.get()), static_cast<std::ptrdiff_t>(before) - 1);
}

} // namespace
