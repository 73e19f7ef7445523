#include "HXBServer.h"

#include "log/HXBLogger.h"

HXBServer::HXBServer(QObject *parent)
    : QObject(parent)
{
    HXBLogger::instance()->logNormalInfo("Startup", "es geht los ...", "");
}

HXBServer::~HXBServer() = default;
