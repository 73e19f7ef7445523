#include "BatchbayJobOwnership.h"

#include "BatchbayJobStore.h"
#include "Job.h"
#include "log/HXBLogger.h"
#include "user/User.h"
#include "util/HXBStringUtils.h"

bool canActOn(const std::shared_ptr<User> &user, const std::shared_ptr<Job> &job)
{
    if (!user || !job)
        return false;
    if (user->getType() == FUserTypeAdmin)
        return true;
    return job->ownerId == user->getId();
}

bool mayReplace(const std::shared_ptr<User> &user, const std::shared_ptr<Job> &job)
{
    if (!user || !job)
        return false;
    return job->ownerId == -1 || canActOn(user, job);
}

bool claimOrAuthorize(const std::shared_ptr<User> &user, const std::shared_ptr<Job> &job)
{
    if (!user || !job)
        return false;
    return claimOrAuthorize(user, job, *BatchbayJobStore::instance());
}

bool claimOrAuthorize(const std::shared_ptr<User> &user, const std::shared_ptr<Job> &job,
                      BatchbayJobStore &store)
{
    if (!user || !job)
        return false;
    // An owner, once set, never changes back, so only an unowned job needs the lock.
    if (job->ownerId == -1) {
        std::lock_guard<std::recursive_mutex> guard(job->mutex);
        if (job->ownerId == -1) {
            const int userId = user->getId();
            job->ownerId = userId;
            store.addOrUpdateJob(job);
            HXBLogger::instance()->logNormalInfo("claimOrAuthorize", "job claimed",
                                                 job->jobId + " -> user " + fromNumber(userId));
            return true;
        }
    }
    return canActOn(user, job);
}
