#include "WAppender.h"

#include "log/WFormater.h"

namespace WLog {

WAppender::WAppender(WFormater *formater, QObject *parent)
    : QObject(parent)
    , mpFormater(formater)
{
}

WAppender::~WAppender()
{
    delete mpFormater;
}

void WAppender::setFormater(WFormater *formater)
{
    if (formater == mpFormater)
        return;
    delete mpFormater;
    mpFormater = formater;
    if (mpFormater)
        mpFormater->setUseUtc(mUseUtc);
}

WFormater *WAppender::takeFormater()
{
    WFormater *formater = mpFormater;
    mpFormater = nullptr;
    return formater;
}

void WAppender::setUseUtc(bool useUtc)
{
    mUseUtc = useUtc;
    if (mpFormater)
        mpFormater->setUseUtc(useUtc);
}

} // namespace WLog
