#include "HXBServer.h"

#include "ctrl/HXBCtrl.h"
#include "ctrl/HXBDBCtrl.h"
#include "db/HXBDB.h"
#include "log/HXBLogger.h"
#include "module/HXBModule.h"
#include "web/HXBWebIntServer.h"

HXBServer::HXBServer(QObject *parent)
    : QObject(parent)
{
    HXBWebIntServer::startServer();
    HXBLogger::instance()->logNormalInfo("Startup", "es geht los ...", "");
    HXBDB::initDb();
    HXBCtrl::instance();
    HXBDBCtrl::instance();
    HXBModule::initModules();
}

HXBServer::~HXBServer() = default;
