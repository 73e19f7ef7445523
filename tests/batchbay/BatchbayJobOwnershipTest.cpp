#include "BatchbayJobOwnership.h"
#include "BatchbayJobStore.h"
#include "BridgeTestEnv.h"
#include "Job.h"
#include "db/HXBDB.h"
#include "user/User.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

class BatchbayJobOwnershipTest : public ::testing::Test
{
protected:
    static std::shared_ptr<User> user(int id, FUserType type)
    {
        auto u = std::make_shared<User>();
        u->mId = id;
        u->mType = type;
        return u;
    }

    static std::shared_ptr<Job> job(int ownerId)
    {
        auto j = std::make_shared<Job>();
        j->jobId = "J" + std::to_string(ownerId);
        j->ownerId = ownerId;
        return j;
    }

    BridgeTestEnv env;
    std::shared_ptr<User> admin = user(1, FUserTypeAdmin);
    std::shared_ptr<User> owner = user(3, FUserTypeNormal);
    std::shared_ptr<User> stranger = user(4, FUserTypeNormal);
};

TEST_F(BatchbayJobOwnershipTest, CanActOn)
{
    struct Row
    {
        std::shared_ptr<User> user;
        std::shared_ptr<Job> job;
        bool expected;
        const char *label;
    };
    const Row rows[] = {
        {admin, job(3), true, "admin on foreign job"},
        {admin, job(-1), true, "admin on unowned job"},
        {owner, job(3), true, "owner"},
        {stranger, job(3), false, "stranger"},
        {owner, job(-1), false, "normal user on unowned job"},
        {nullptr, job(3), false, "null user"},
        {owner, nullptr, false, "null job"},
        {nullptr, nullptr, false, "both null"},
    };
    for (const Row &row : rows)
        EXPECT_EQ(canActOn(row.user, row.job), row.expected) << row.label;
}

// Replacing a stored job by a new one of its ID: whom canActOn allows, or anybody for an
// unowned job (as a claim would).
TEST_F(BatchbayJobOwnershipTest, MayReplace)
{
    EXPECT_TRUE(mayReplace(owner, job(3)));
    EXPECT_TRUE(mayReplace(admin, job(3)));
    EXPECT_TRUE(mayReplace(stranger, job(-1)));
    EXPECT_FALSE(mayReplace(stranger, job(3)));
    EXPECT_FALSE(mayReplace(nullptr, job(-1)));
}

TEST_F(BatchbayJobOwnershipTest, FirstUserClaimsAndTheClaimSurvivesARestart)
{
    BatchbayJobStore store;
    auto unowned = job(-1);

    EXPECT_TRUE(claimOrAuthorize(owner, unowned, store));
    EXPECT_EQ(unowned->ownerId, 3);
    EXPECT_EQ(store.getJobById(unowned->jobId), unowned);
    EXPECT_TRUE(claimOrAuthorize(owner, unowned, store));
    EXPECT_FALSE(claimOrAuthorize(stranger, unowned, store));
    EXPECT_TRUE(claimOrAuthorize(admin, unowned, store));
    EXPECT_EQ(unowned->ownerId, 3);

    BatchbayJobStore restarted;
    ASSERT_NE(restarted.getJobById(unowned->jobId), nullptr);
    EXPECT_EQ(restarted.getJobById(unowned->jobId)->ownerId, 3);
}

TEST_F(BatchbayJobOwnershipTest, AnAdministratorClaimsAnUnownedJobToo)
{
    BatchbayJobStore store;
    auto unowned = job(-1);
    EXPECT_TRUE(claimOrAuthorize(admin, unowned, store));
    EXPECT_EQ(unowned->ownerId, 1);
    EXPECT_FALSE(claimOrAuthorize(owner, unowned, store));
}

TEST_F(BatchbayJobOwnershipTest, NullUserOrJobIsRefusedAndNothingIsSaved)
{
    BatchbayJobStore store;
    auto unowned = job(-1);
    EXPECT_FALSE(claimOrAuthorize(nullptr, unowned, store));
    EXPECT_FALSE(claimOrAuthorize(owner, nullptr, store));
    EXPECT_EQ(unowned->ownerId, -1);
    EXPECT_TRUE(store.getAllJobs().empty());
}

TEST_F(BatchbayJobOwnershipTest, ConcurrentClaimsLeaveExactlyOneOwner)
{
    BatchbayJobStore store;
    for (int round = 0; round < 20; ++round) {
        auto unowned = job(-1);
        unowned->jobId = "race-" + std::to_string(round);
        std::atomic<int> granted{0};
        std::vector<std::thread> threads;
        for (int id = 10; id < 14; ++id) {
            threads.emplace_back([&, id] {
                if (claimOrAuthorize(user(id, FUserTypeNormal), unowned, store))
                    ++granted;
                HXBDB::threadFinished();
            });
        }
        for (auto &thread : threads)
            thread.join();
        EXPECT_EQ(granted, 1) << round;
        EXPECT_GE(unowned->ownerId, 10);
    }
}

} // namespace
