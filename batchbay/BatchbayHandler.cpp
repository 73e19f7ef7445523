#include "BatchbayHandler.h"

#include "log/HXBLogger.h"

std::shared_ptr<BatchbayHandler> BatchbayHandler::mpInstance = std::make_shared<BatchbayHandler>();

BatchbayHandler::BatchbayHandler() = default;

BatchbayHandler::~BatchbayHandler() = default;

void BatchbayHandler::doInit()
{
    HXBLogger::instance()->logNormalInfo("BatchbayHandler", "module initialised", "");
}
