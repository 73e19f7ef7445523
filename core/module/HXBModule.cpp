#include "HXBModule.h"

#include "log/HXBLogger.h"

#include <algorithm>
#include <exception>

// Constant-initialised, so a module constructed during any library's static initialisation
// finds it ready.
std::vector<HXBModule *> *HXBModule::mpModules = nullptr;

HXBModule::HXBModule()
{
    if (!mpModules)
        mpModules = new std::vector<HXBModule *>;
    mpModules->push_back(this);
}

HXBModule::~HXBModule()
{
    // Keeps the registry free of dangling pointers when a module ends before the process.
    if (mpModules)
        std::erase(*mpModules, this);
}

void HXBModule::init()
{
    if (mInitialised)
        return;
    doInit();
    mInitialised = true;
}

void HXBModule::doInit() {}

void HXBModule::initModules()
{
    if (!mpModules)
        return;
    // Indexed, so a module created by another one's doInit neither breaks the walk nor is missed.
    for (std::size_t i = 0; i < mpModules->size(); ++i) {
        // One failing module must not keep the others (or the server) from starting.
        try {
            (*mpModules)[i]->init();
        } catch (const std::exception &e) {
            HXBLogger::instance()->logNormalCritical("HXBModule", "module initialisation failed",
                                                     e.what());
        } catch (...) {
            HXBLogger::instance()->logNormalCritical("HXBModule", "module initialisation failed",
                                                     "");
        }
    }
}

const std::vector<HXBModule *> &HXBModule::getModules()
{
    static const std::vector<HXBModule *> empty;
    return mpModules ? *mpModules : empty;
}
