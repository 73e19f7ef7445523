#include "BatchbayHandler.h"

#include "BatchbayAppManager.h"
#include "BatchbayJobStore.h"
#include "log/HXBLogger.h"

std::shared_ptr<BatchbayHandler> BatchbayHandler::mpInstance = std::make_shared<BatchbayHandler>();

BatchbayHandler::BatchbayHandler() = default;

BatchbayHandler::~BatchbayHandler() = default;

std::shared_ptr<BatchbayHandler> BatchbayHandler::instance()
{
    return mpInstance;
}

void BatchbayHandler::doInit()
{
    BatchbayJobStore::instance();
    BatchbayAppManager::instance();
    BatchbayJobStore::createCounterTable();
    HXBLogger::instance()->logNormalInfo("BatchbayHandler", "module initialised", "");
}
