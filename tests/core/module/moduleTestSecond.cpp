// A library with a module of its own that links the first test library.
#include "ModuleTestJournal.h"

#include "module/HXBModule.h"

#include <memory>

namespace {

class SecondLibraryModule : public HXBModule
{
protected:
    void doInit() override { moduleTestJournal().push_back("second library"); }
};

const auto sModule = std::make_shared<SecondLibraryModule>();

} // namespace

// Referenced by the test so the library is linked even without --no-as-needed.
int moduleTestSecondAnchor()
{
    return 2;
}
