#pragma once

#include <vector>

// Base of every module: a part of the system that needs a one-time initialisation after the
// database and the controllers are up and before requests are served.
//
// A module registers itself by being constructed: each module library holds one process-wide
// instance created during the library's static initialisation, so registration order follows
// library load order (the core before the libraries that link it). The registry does not own
// the modules; a module leaves it only when destroyed. It has no lock, so modules must be
// created before start-up ends and initModules() runs on the main thread.
class HXBModule
{
public:
    HXBModule();
    // Removes the module from the registry.
    virtual ~HXBModule();
    HXBModule(const HXBModule &) = delete;
    HXBModule &operator=(const HXBModule &) = delete;

    // Runs doInit() unless it already completed; a doInit() that throws leaves the module
    // uninitialised.
    void init();
    bool isInitialised() const { return mInitialised; }

    // init() on every registered module, in registration order. A module whose doInit()
    // throws is logged and left uninitialised; the others are initialised all the same.
    static void initModules();
    // The registry in registration order; empty when no module exists.
    static const std::vector<HXBModule *> &getModules();

protected:
    // The module's own initialisation; the base does nothing.
    virtual void doInit();

private:
    bool mInitialised = false;

    static std::vector<HXBModule *> *mpModules;
};
