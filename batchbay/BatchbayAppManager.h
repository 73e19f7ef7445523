#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class BatchbayApp;

// The application catalogue: one application per non-hidden entry of the script directory,
// built once. Each script name keeps its numeric ID across restarts through the table
// BatchbayAPPS; a new name gets one more than the highest ID ever stored.
// The IDs come from the database only: while it cannot be read, the catalogue is empty and
// every look-up (and retryPendingLoad()) tries again, until one build succeeds; after that the
// catalogue never changes. Every operation may be called from any thread (the catalogue's
// mutex is taken, and nothing else is locked while it is held).
class BatchbayAppManager
{
public:
    // The process-wide catalogue of BatchbaySettings' script directory, built on first call.
    static std::shared_ptr<BatchbayAppManager> instance();

    // Builds the catalogue of scriptDir (which should end with "/") against the database
    // that HXBDB currently points at. A missing directory gives an empty catalogue.
    explicit BatchbayAppManager(const std::string &scriptDir);
    BatchbayAppManager(const BatchbayAppManager &) = delete;
    BatchbayAppManager &operator=(const BatchbayAppManager &) = delete;

    // In case-insensitive name order; the applications are shared, not copied.
    std::vector<std::shared_ptr<BatchbayApp>> getApps();
    // Null when no script of this run has that ID.
    std::shared_ptr<BatchbayApp> getAppById(int id);

    // Whether the catalogue is still to be built; takes no lock.
    bool isPending() const { return mPending.load(); }
    // Builds a catalogue that could not be built before, if the database's connection opens;
    // true when the catalogue is built.
    bool retryPendingLoad();

private:
    // Reads (and assigns) the IDs of the directory's entries; false, leaving the catalogue
    // empty, at the first statement that fails. The caller holds mLock.
    bool load();
    void retryLocked();

    const std::string mScriptDir;
    std::vector<std::shared_ptr<BatchbayApp>> mApps;
    std::atomic<bool> mPending{false};
    std::mutex mLock;
};
