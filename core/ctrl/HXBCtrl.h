#pragma once

#include "ctrl/HXBCtrlBase.h"

#include <functional>

// A task for HXBCtrl. exec() returns true when the task is done, false when it wants to
// run again at the next pass; an empty function counts as done. Must not throw.
class HXBTask
{
public:
    HXBTask() = default;
    explicit HXBTask(std::function<bool()> function)
        : mFunction(std::move(function))
    {
    }

    bool exec() const { return mFunction ? mFunction() : true; }

private:
    std::function<bool()> mFunction;
};

// The general controller: runs queued tasks on its own thread, retrying every task that
// returns false once per pass, behind the items queued meanwhile.
// instance() creates and starts it on first use (thread-safe); it lives until process exit.
class HXBCtrl : public HXBCtrlBase<HXBTask>
{
public:
    static HXBCtrl *instance();

    // Starts a controller of its own; the server uses instance() only.
    HXBCtrl();
    ~HXBCtrl() override;

protected:
    void doUpdate() override;
};
