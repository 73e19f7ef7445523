#include "HttpSpoolBudget.h"

HttpSpoolBudget::HttpSpoolBudget(qint64 limit)
    : mLimit(limit)
{
}

bool HttpSpoolBudget::reserve(qint64 bytes)
{
    qint64 current = mInUse.load();
    do {
        if (bytes > mLimit - current)
            return false;
    } while (!mInUse.compare_exchange_weak(current, current + bytes));
    return true;
}

void HttpSpoolBudget::release(qint64 bytes)
{
    mInUse.fetch_sub(bytes);
}

HttpSpoolReservation::~HttpSpoolReservation()
{
    if (mBudget && mBytes > 0)
        mBudget->release(mBytes);
}

bool HttpSpoolReservation::growTo(const std::shared_ptr<HttpSpoolBudget> &budget, qint64 total)
{
    if (!budget || total <= mBytes)
        return true;
    if (mBudget && mBudget != budget)
        return false;
    if (!budget->reserve(total - mBytes))
        return false;
    mBudget = budget;
    mBytes = total;
    return true;
}
