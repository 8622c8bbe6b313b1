// Scoped holds on a POSIX read/write lock.  Failing to take or release a lock
// leaves shared state in doubt, so it is fatal: the failure is logged with
// the source place and the process exits with status 70.
#pragma once

#include <pthread.h>

namespace kelvantor {

enum class lock_mode { read, write };

class lock_hold {
public:
    lock_hold(pthread_rwlock_t& lock, lock_mode mode, const char* file, int line);
    ~lock_hold();
    lock_hold(const lock_hold&) = delete;
    lock_hold& operator=(const lock_hold&) = delete;

private:
    pthread_rwlock_t& lock_;
    const char* file_;
    int line_;
};

// Logs "<file>:<line> <operation> failed: <error text>" and ends the process
// with status 70 at once: no destructor runs, so shared state that other
// threads are still reading is never torn down under them.
[[noreturn]] void lock_failed(const char* operation, int error, const char* file, int line);

}  // namespace kelvantor

// Takes the lock for writing (or reading) until the end of the enclosing scope.
#define KV_LOCK_NAME_(line) kv_lock_hold_##line
#define KV_LOCK_NAME(line) KV_LOCK_NAME_(line)
#define KV_WRITE_LOCK(lock)                                                                      \
    ::kelvantor::lock_hold KV_LOCK_NAME(__LINE__)(lock, ::kelvantor::lock_mode::write, __FILE__, \
                                                  __LINE__)
#define KV_READ_LOCK(lock)                                                                      \
    ::kelvantor::lock_hold KV_LOCK_NAME(__LINE__)(lock, ::kelvantor::lock_mode::read, __FILE__, \
                                                  __LINE__)
