#include "HXBCtrl.h"

#include <vector>

HXBCtrl *HXBCtrl::instance()
{
    static HXBCtrl controller;
    return &controller;
}

HXBCtrl::HXBCtrl()
{
    startThread();
}

HXBCtrl::~HXBCtrl()
{
    // The thread must be gone before doUpdate() disappears with this object.
    stop();
}

void HXBCtrl::doUpdate()
{
    std::vector<HXBTask> retry;
    HXBTask task;
    while (!isInterruptionRequested() && mQueue.try_pop(task)) {
        if (!task.exec())
            retry.push_back(std::move(task));
    }
    for (const HXBTask &again : retry)
        mQueue.push(again);
}
