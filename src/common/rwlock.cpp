// Scoped read/write lock holds whose failures end the process.
#include "common/rwlock.h"

#include <cstdlib>
#include <cstring>

#include "common/exit_status.h"
#include "common/log.h"

namespace kelvantor {
namespace {

const char* base_name(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

}  // namespace

void lock_failed(const char* operation, int error, const char* file, int line) {
    log_msg(LOG_ERR, "%s:%d %s failed: %s", base_name(file), line, operation, std::strerror(error));
    std::_Exit(exit_status::software);
}

lock_hold::lock_hold(pthread_rwlock_t& lock, lock_mode mode, const char* file, int line)
    : lock_(lock), file_(file), line_(line) {
    const bool writing = mode == lock_mode::write;
    const int error = writing ? pthread_rwlock_wrlock(&lock_) : pthread_rwlock_rdlock(&lock_);
    if (error != 0) {
        lock_failed(writing ? "pthread_rwlock_wrlock" : "pthread_rwlock_rdlock", error, file_,
                    line_);
    }
}

lock_hold::~lock_hold() {
    if (const int error = pthread_rwlock_unlock(&lock_); error != 0) {
        lock_failed("pthread_rwlock_unlock", error, file_, line_);
    }
}

}  // namespace kelvantor
