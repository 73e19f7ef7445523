#pragma once

#include <QVariantMap>

#include <string>

// One runnable application of the catalogue: a Slurm batch script in the script directory.
// Never modified once the catalogue is built, so it may be read from any thread.
class BatchbayApp
{
public:
    // The form in which the desktop client receives an application: "appName",
    // "description", "appId", "isMirado" (always false) and "isSlurm".
    QVariantMap getMap() const;

    int appId = 0;
    bool isSlurm = true;
    std::string appName;
    std::string executable;
    std::string description;
};
