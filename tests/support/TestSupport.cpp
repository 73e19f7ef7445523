#include "TestSupport.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>

namespace hxbtest {

QString runtimeDir()
{
    return QStringLiteral(HXB_RUNTIME_DIR);
}

QString sourceDir()
{
    return QStringLiteral(HXB_SOURCE_DIR);
}

bool waitUntil(const std::function<bool()> &pred, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!pred()) {
        if (deadline.hasExpired())
            return pred();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(5);
    }
    return true;
}

} // namespace hxbtest
