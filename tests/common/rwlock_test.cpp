// A lock that cannot be taken ends the process with status 70 and a log line
// naming the source place and the error.  glibc refuses a second hold of a
// lock that the thread already holds for writing (EDEADLK).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/log.h"
#include "common/rwlock.h"

namespace kelvantor {
namespace {

void print_to_stderr(int /*priority*/, const char* message) {
    std::fprintf(stderr, "%s\n", message);
}

// The line of the second hold, for the expected message.
constexpr int second_write_line = __LINE__ + 6;

void hold_twice_for_writing() {
    set_log_sink(print_to_stderr);
    pthread_rwlock_t lock = PTHREAD_RWLOCK_INITIALIZER;
    KV_WRITE_LOCK(lock);
    { KV_WRITE_LOCK(lock); }
}

void read_while_writing() {
    set_log_sink(print_to_stderr);
    pthread_rwlock_t lock = PTHREAD_RWLOCK_INITIALIZER;
    KV_WRITE_LOCK(lock);
    { KV_READ_LOCK(lock); }
}

TEST(lock_hold_death_test, SecondHoldByWriterIsFatal) {
    EXPECT_EXIT(hold_twice_for_writing(), ::testing::ExitedWithCode(70),
                "rwlock_test.cpp:" + std::to_string(second_write_line) +
                    " pthread_rwlock_wrlock failed: Resource deadlock avoided");
    EXPECT_EXIT(read_while_writing(), ::testing::ExitedWithCode(70),
                "rwlock_test.cpp:[0-9]+ pthread_rwlock_rdlock failed: ");
}

TEST(lock_hold_test, ReadersShareAndWriterFollows) {
    pthread_rwlock_t lock = PTHREAD_RWLOCK_INITIALIZER;
    {
        KV_READ_LOCK(lock);
        { KV_READ_LOCK(lock); }
    }
    KV_WRITE_LOCK(lock);
    EXPECT_NE(pthread_rwlock_tryrdlock(&lock), 0) << "the write hold is in force";
}

}  // namespace
}  // namespace kelvantor
