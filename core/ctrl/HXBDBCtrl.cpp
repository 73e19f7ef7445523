#include "HXBDBCtrl.h"

HXBDBCtrl *HXBDBCtrl::instance()
{
    static HXBDBCtrl controller;
    return &controller;
}

HXBDBCtrl::HXBDBCtrl()
{
    startThread();
}

HXBDBCtrl::~HXBDBCtrl()
{
    // The thread must be gone before doUpdate() disappears with this object.
    stop();
}

void HXBDBCtrl::doUpdate()
{
    HXBCtrlQuery query;
    while (!isInterruptionRequested() && mQueue.try_pop(query))
        query.exec();
}
