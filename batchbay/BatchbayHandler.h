#pragma once

#include "module/HXBModule.h"

#include <memory>

// The bridge's module. Its one instance is created while libbatchbay is loaded, which
// registers it after the core's modules; doInit() runs once during server start-up and
// opens the job store (recovering saved jobs), builds the application catalogue and creates
// the run-number table.
class BatchbayHandler : public HXBModule
{
public:
    BatchbayHandler();
    ~BatchbayHandler() override;

    static std::shared_ptr<BatchbayHandler> instance();

    static std::shared_ptr<BatchbayHandler> mpInstance;

protected:
    void doInit() override;
};
