#pragma once

#include <QString>

#include <string>

// The bridge's configuration, read once from "hxbconfig.ini" (the same file as the core's).
// Values never change after construction, so every getter may be called from any thread.
class BatchbaySettings
{
public:
    // The process-wide settings, read on first call from HXBConfig::defaultFilePath() with the
    // executable's directory as application directory.
    static BatchbaySettings *instance();

    // Reads iniPath; appDir stands in for the executable's directory in the defaults.
    // A missing file or key gives the defaults.
    BatchbaySettings(const QString &iniPath, const QString &appDir);

    std::string getDataDir() const { return mDataDir; }
    // Root of all job directories: data directory + "work/".
    std::string getTmpDir() const { return mDataDir + "work/"; }
    // The Slurm batch scripts that make up the application catalogue: data directory + "scripts/".
    std::string getJobTemplateDir() const { return mDataDir + "scripts/"; }
    bool getRemoveInputDir() const { return mRemoveInputDir; }
    bool getOversubscribe() const { return mOversubscribe; }
    int getJobListVisibility() const { return mJobListVisibility; }
    // "Batchbay/poll_per_job": every job asks squeue for itself, one call each, instead of all
    // tracked jobs sharing one squeue answer per controller pass.
    bool getPollPerJob() const { return mPollPerJob; }

private:
    std::string mDataDir;
    bool mRemoveInputDir = false;
    bool mOversubscribe = false;
    int mJobListVisibility = 1;
    bool mPollPerJob = false;
};
