// A library with a module of its own, loaded before the library that links it.
#include "ModuleTestJournal.h"

#include "module/HXBModule.h"

#include <memory>

std::vector<std::string> &moduleTestJournal()
{
    static std::vector<std::string> journal;
    return journal;
}

namespace {

class FirstLibraryModule : public HXBModule
{
protected:
    void doInit() override { moduleTestJournal().push_back("first library"); }
};

const auto sModule = std::make_shared<FirstLibraryModule>();

} // namespace
