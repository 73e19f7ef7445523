#pragma once

#include <QtGlobal>

#include <atomic>
#include <memory>

// The bytes of request bodies that may sit in spool files at once, shared by every connection
// of one listener. Thread-safe.
class HttpSpoolBudget
{
public:
    explicit HttpSpoolBudget(qint64 limit);

    // Adds bytes to the total in use; false, and nothing added, when that would pass the limit.
    bool reserve(qint64 bytes);
    void release(qint64 bytes);
    qint64 inUse() const { return mInUse.load(); }

private:
    const qint64 mLimit;
    std::atomic<qint64> mInUse{0};
};

// The share of a budget that one request's body holds; given back when it is destroyed.
// Used by one thread at a time, like the request that holds it.
class HttpSpoolReservation
{
public:
    HttpSpoolReservation() = default;
    ~HttpSpoolReservation();
    HttpSpoolReservation(const HttpSpoolReservation &) = delete;
    HttpSpoolReservation &operator=(const HttpSpoolReservation &) = delete;

    // Holds at least total bytes of budget; false when the budget cannot give the rest.
    bool growTo(const std::shared_ptr<HttpSpoolBudget> &budget, qint64 total);
    qint64 bytes() const { return mBytes; }

private:
    std::shared_ptr<HttpSpoolBudget> mBudget;
    qint64 mBytes = 0;
};
