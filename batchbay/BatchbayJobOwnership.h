#pragma once

#include <memory>

class BatchbayJobStore;
class Job;
class User;

// Who may act on a job through the web side. Callable from any thread.

// False for a null user or job; true for an administrator; otherwise true exactly when the
// user owns the job.
bool canActOn(const std::shared_ptr<User> &user, const std::shared_ptr<Job> &job);

// Gives an unowned job to the user (whatever the user's type) and saves it, so the owner
// survives a restart; otherwise decides as canActOn. The claim runs under the job's lock,
// so of two users claiming at once exactly one becomes the owner.
bool claimOrAuthorize(const std::shared_ptr<User> &user, const std::shared_ptr<Job> &job);
// Whether the user may replace the stored job by a new one of the same ID: the job is unowned
// (it would be theirs to claim) or canActOn allows it. Takes no lock, so it may run under the
// job store's lock.
bool mayReplace(const std::shared_ptr<User> &user, const std::shared_ptr<Job> &job);
// The same as claimOrAuthorize, saving into the given store.
bool claimOrAuthorize(const std::shared_ptr<User> &user, const std::shared_ptr<Job> &job,
                      BatchbayJobStore &store);
