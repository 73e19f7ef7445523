#pragma once

#include "module/HXBModule.h"

#include <memory>

// The bridge's module. Its one instance is created while libbatchbay is loaded, which
// registers it after the core's modules; doInit() runs once during server start-up.
class BatchbayHandler : public HXBModule
{
public:
    BatchbayHandler();
    ~BatchbayHandler() override;

    static std::shared_ptr<BatchbayHandler> mpInstance;

protected:
    void doInit() override;
};
