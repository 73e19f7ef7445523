#include "WConsoleAppender.h"

#include "log/WFormater.h"
#include "log/WLoggingEvent.h"

#include <cstdio>

namespace WLog {

WConsoleAppender::WConsoleAppender(QObject *parent)
    : WAppender(nullptr, parent)
{
}

WConsoleAppender::WConsoleAppender(WFormater *formater, QObject *parent)
    : WAppender(formater, parent)
{
}

void WConsoleAppender::write(const WLoggingEvent &event)
{
    if (!mpFormater)
        return;
    QByteArray line = mpFormater->format(event).toUtf8();
    line.append('\n');
    // One write per line, so lines of other writers to stdout do not interleave with it.
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stdout);
    std::fflush(stdout);
}

void WConsoleAppender::logDebug(const WLoggingEvent &event)
{
    write(event);
}

void WConsoleAppender::logInfo(const WLoggingEvent &event)
{
    write(event);
}

void WConsoleAppender::logWarn(const WLoggingEvent &event)
{
    write(event);
}

void WConsoleAppender::logError(const WLoggingEvent &event)
{
    write(event);
}

void WConsoleAppender::logCritical(const WLoggingEvent &event)
{
    write(event);
}

} // namespace WLog
