#include "BatchbayApp.h"

#include "util/HXBStringUtils.h"

QVariantMap BatchbayApp::getMap() const
{
    QVariantMap map;
    map.insert(QStringLiteral("appName"), Q(appName));
    map.insert(QStringLiteral("description"), Q(description));
    map.insert(QStringLiteral("appId"), appId);
    map.insert(QStringLiteral("isMirado"), false);
    map.insert(QStringLiteral("isSlurm"), isSlurm);
    return map;
}
