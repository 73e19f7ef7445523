#pragma once

#include "ctrl/HXBCtrlBase.h"

#include <functional>

// A deferred database write for HXBDBCtrl: it runs once, later, on the controller's thread
// (and so on that thread's own connection). Capture copies of everything it needs.
// An empty function does nothing. Must not throw.
class HXBCtrlQuery
{
public:
    HXBCtrlQuery() = default;
    explicit HXBCtrlQuery(std::function<void()> function)
        : mFunction(std::move(function))
    {
    }

    void exec() const
    {
        if (mFunction)
            mFunction();
    }

private:
    std::function<void()> mFunction;
};

// The database controller: runs each queued query exactly once, in queue order, on its own
// thread. instance() creates and starts it on first use (thread-safe); it lives until
// process exit.
class HXBDBCtrl : public HXBCtrlBase<HXBCtrlQuery>
{
public:
    static HXBDBCtrl *instance();

    // Starts a controller of its own; the server uses instance() only.
    HXBDBCtrl();
    ~HXBDBCtrl() override;

protected:
    void doUpdate() override;
};
