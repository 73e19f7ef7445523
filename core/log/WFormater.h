#pragma once

#include <QString>

namespace WLog {

class WLoggingEvent;

// Turns events into text. The base class gives one plain line per event and no
// file decorations; file formatters override the rest.
class WFormater
{
public:
    WFormater() = default;
    virtual ~WFormater() = default;
    WFormater(const WFormater &) = delete;
    WFormater &operator=(const WFormater &) = delete;

    void setUseUtc(bool useUtc) { mUseUtc = useUtc; }
    bool getUseUtc() const { return mUseUtc; }

    // Written once at the top of a new file.
    virtual QString getInitLine();
    // One event: "*** LEVEL category : header" plus " [details]" when details are not empty.
    virtual QString format(const WLoggingEvent &event);
    // Written before the first event of a run into an existing file.
    virtual QString getLogStartLine();
    // Written when an appender ends.
    virtual QString getLogEndLine();

private:
    bool mUseUtc = false;
};

} // namespace WLog
