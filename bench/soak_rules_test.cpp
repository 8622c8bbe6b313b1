// The soak's rules: a soak that passed wrong answers, or failed on the
// answers kelvantor documents for a dead backend, would say nothing.
#include "soak_rules.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

namespace kelvantor::bench::soak {
namespace {

using testing::milter_reply;
using testing::milter_verdict;

milter_reply reply(milter_verdict verdict, const char* text = "") {
    milter_reply r;
    r.verdict = verdict;
    r.text = text;
    return r;
}

TEST(SoakRules, OnlyKelvantorsThreeAnswersAreRecognised) {
    EXPECT_EQ(classify(reply(milter_verdict::proceed)), answer::pass);
    EXPECT_EQ(classify(reply(milter_verdict::reject, "550 5.1.1  User unknown")), answer::reject);
    EXPECT_EQ(classify(reply(milter_verdict::tempfail, "451 4.7.0 Internal error")), answer::defer);
    EXPECT_EQ(classify(reply(milter_verdict::failed)), answer::lost);
    // Near misses are other answers: one blank, a bare tempfail (no reply text),
    // a 5xx that is not "User unknown", an accept of the whole message.
    EXPECT_EQ(classify(reply(milter_verdict::reject, "550 5.1.1 User unknown")), answer::foreign);
    EXPECT_EQ(classify(reply(milter_verdict::tempfail)), answer::foreign);
    EXPECT_EQ(classify(reply(milter_verdict::reject, "554 5.7.1 Rejected")), answer::foreign);
    EXPECT_EQ(classify(reply(milter_verdict::accept)), answer::foreign);
    EXPECT_EQ(classify(reply(milter_verdict::no_reply)), answer::foreign);
}

TEST(SoakRules, BackendTroubleAnswersAreLegalUntilLearnt) {
    for (const kind k : {kind::fresh_valid, kind::fresh_unknown, kind::again_valid,
                         kind::again_unknown, kind::cached_valid, kind::tempfail}) {
        EXPECT_EQ(judge(k, false, answer::defer, on_error::defer), wrong::none) << kind_name(k);
    }
    EXPECT_EQ(judge(kind::tempfail, false, answer::pass, on_error::defer), wrong::none);
    EXPECT_EQ(judge(kind::fresh_valid, false, answer::pass, on_error::defer), wrong::none);
    EXPECT_EQ(judge(kind::fresh_unknown, false, answer::reject, on_error::defer), wrong::none);
    // Passing trouble lets an unknown address through while it is not learnt.
    EXPECT_EQ(judge(kind::fresh_unknown, false, answer::pass, on_error::pass), wrong::none);
}

TEST(SoakRules, WrongAnswersAreCaught) {
    // Deferring trouble: an unknown address never passes, learnt or not.
    EXPECT_EQ(judge(kind::fresh_unknown, false, answer::pass, on_error::defer),
              wrong::unknown_passed);
    EXPECT_EQ(judge(kind::again_unknown, true, answer::pass, on_error::pass),
              wrong::unknown_passed);
    EXPECT_EQ(judge(kind::cached_invalid, true, answer::pass, on_error::pass),
              wrong::unknown_passed);
    EXPECT_EQ(judge(kind::fresh_valid, false, answer::reject, on_error::defer),
              wrong::known_rejected);
    EXPECT_EQ(judge(kind::cached_valid, true, answer::reject, on_error::pass),
              wrong::known_rejected);
    EXPECT_EQ(judge(kind::tempfail, false, answer::reject, on_error::defer),
              wrong::tempfail_rejected);
    EXPECT_EQ(judge(kind::cached_valid, true, answer::defer, on_error::defer),
              wrong::learnt_forgotten);
    EXPECT_EQ(judge(kind::again_unknown, true, answer::defer, on_error::defer),
              wrong::learnt_forgotten);
    EXPECT_EQ(judge(kind::fresh_valid, false, answer::foreign, on_error::defer),
              wrong::foreign_answer);
    EXPECT_EQ(judge(kind::tempfail, false, answer::lost, on_error::defer), wrong::no_answer);
}

TEST(SoakRules, OnlyTheBackendsVerdictTeaches) {
    EXPECT_TRUE(teaches(kind::fresh_unknown, answer::reject, on_error::pass));
    EXPECT_TRUE(teaches(kind::fresh_valid, answer::pass, on_error::defer));
    // With passing trouble a pass may be the trouble answer, not a 250.
    EXPECT_FALSE(teaches(kind::fresh_valid, answer::pass, on_error::pass));
    EXPECT_FALSE(teaches(kind::fresh_unknown, answer::defer, on_error::defer));
    EXPECT_FALSE(teaches(kind::tempfail, answer::pass, on_error::defer));
}

TEST(SoakRules, AVerdictHoldsForItsLifetimeFromTheFirstTeaching) {
    address_pool pool(4);
    std::uint64_t a = 0;
    std::uint64_t b = 0;
    ASSERT_TRUE(pool.fresh(a));
    ASSERT_TRUE(pool.fresh(b));
    EXPECT_FALSE(pool.learnt(a, 0, 0));
    pool.learn(a, 1'000);
    EXPECT_TRUE(pool.learnt(a, 2'000, 5'000));
    EXPECT_FALSE(pool.learnt(a, 6'000, 5'000));  // expired
    EXPECT_TRUE(pool.learnt(a, 1'000'000, 0));   // lifetime 0: outlives the run
    // A later verdict may come from the same cache entry: it does not extend it.
    pool.learn(a, 4'000);
    EXPECT_FALSE(pool.learnt(a, 6'000, 5'000));
    EXPECT_FALSE(pool.learnt(b, 2'000, 5'000));
    // Repeats come from what was handed out; a spent pool hands out nothing new.
    std::uint64_t again = 9;
    ASSERT_TRUE(pool.again(7, again));
    EXPECT_LT(again, 2U);
    std::uint64_t spare = 0;
    EXPECT_TRUE(pool.fresh(spare));
    EXPECT_TRUE(pool.fresh(spare));
    EXPECT_FALSE(pool.fresh(spare));
}

TEST(SoakSamples, WindowsAndGrowth) {
    const std::vector<sample> samples = {
        {0.5, 100, 10, 20}, {1.5, 300, 10, 40}, {8.5, 210, 11, 30}, {9.5, 210, 11, 30}};
    const window_means first = means(samples, 0, 3);
    const window_means last = means(samples, 7, 10);
    EXPECT_EQ(first.samples, 2U);
    EXPECT_DOUBLE_EQ(first.rss_kb, 200);
    EXPECT_DOUBLE_EQ(last.threads, 11);
    EXPECT_NEAR(growth_percent(first.rss_kb, last.rss_kb), 5.0, 1e-9);
    EXPECT_DOUBLE_EQ(growth_percent(first.fds, last.fds), 0);
    EXPECT_EQ(means(samples, 3, 7).samples, 0U);
    EXPECT_DOUBLE_EQ(window_for(60), 20);
    EXPECT_DOUBLE_EQ(window_for(10), 3);
    EXPECT_DOUBLE_EQ(window_for(120), 20);
    EXPECT_DOUBLE_EQ(window_for(2), 1);
}

TEST(SoakSamples, ReadsThreadsAndDescriptorsOfALiveProcessOnly) {
    const auto before = read_sample(getpid(), 0);
    ASSERT_TRUE(before.has_value());
    EXPECT_GT(before->rss_kb, 0U);

    std::mutex m;
    std::condition_variable cv;
    bool release = false;
    std::thread extra([&] {
        std::unique_lock lock(m);
        cv.wait(lock, [&] { return release; });
    });
    const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    const auto during = read_sample(getpid(), 1);
    {
        const std::lock_guard lock(m);
        release = true;
    }
    cv.notify_one();
    extra.join();
    close(fd);
    ASSERT_TRUE(during.has_value());
    EXPECT_EQ(during->threads, before->threads + 1);
    EXPECT_EQ(during->fds, before->fds + 1);

    // A child that has ended but is not reaped yet (a zombie) counts as gone.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(0);
    siginfo_t info{};
    ASSERT_EQ(waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOWAIT), 0);
    EXPECT_FALSE(read_sample(child, 0).has_value());
    waitpid(child, nullptr, 0);
}

}  // namespace
}  // namespace kelvantor::bench::soak
