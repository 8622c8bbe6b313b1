// Scoped holds on a POSIX read/write lock.  Failing to take or release a lock
// leaves shared state in doubt, so it is fatal: the failure is logged with
// the source place and the process exits with status 70.
#pragma once

#include <pthread.h>

namespace kelvantor {

inline constexpr int lock_failure_status = 70;

class write_lock {
public:
    write_lock(pthread_rwlock_t& lock, const char* file, int line);
    ~write_lock();
    write_lock(const write_lock&) = delete;
    write_lock& operator=(const write_lock&) = delete;

private:
    pthread_rwlock_t& lock_;
    const char* file_;
    int line_;
};

class read_lock {
public:
    read_lock(pthread_rwlock_t& lock, const char* file, int line);
    ~read_lock();
    read_lock(const read_lock&) = delete;
    read_lock& operator=(const read_lock&) = delete;

private:
    pthread_rwlock_t& lock_;
    const char* file_;
    int line_;
};

// Logs "<file>:<line> <operation> failed: <error text>" and exits with 70.
[[noreturn]] void lock_failed(const char* operation, int error, const char* file, int line);

}  // namespace kelvantor

// Takes the lock for writing (or reading) until the end of the enclosing scope.
#define KV_WRITE_LOCK(lock) ::kelvantor::write_lock kv_lock_hold_(lock, __FILE__, __LINE__)
#define KV_READ_LOCK(lock) ::kelvantor::read_lock kv_lock_hold_(lock, __FILE__, __LINE__)
