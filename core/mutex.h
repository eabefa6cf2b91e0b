#pragma once

#include <condition_variable>
#include <mutex>

#include "core/threadannotations.h"

namespace vandra {

// std::mutex with the annotations clang's thread-safety analysis needs; libstdc++'s own
// mutex carries none.
class CAPABILITY("mutex") Mutex {
public:
    void lock() ACQUIRE() { mutex_.lock(); }
    void unlock() RELEASE() { mutex_.unlock(); }
    bool tryLock() TRY_ACQUIRE(true) { return mutex_.try_lock(); }
    // Tells the analysis that this mutex is held where it cannot see it taken: by another
    // name for the same object.
    void assertHeld() const ASSERT_CAPABILITY(this) {}

private:
    friend class UniqueLock;
    std::mutex mutex_;
};

// Holds a mutex for its scope.
class SCOPED_CAPABILITY MutexLock {
public:
    explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
    // Takes over a mutex the caller has already locked (after a successful tryLock).
    MutexLock(Mutex& mutex, std::adopt_lock_t) REQUIRES(mutex) : mutex_(mutex) {}
    ~MutexLock() RELEASE() { mutex_.unlock(); }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

private:
    Mutex& mutex_;
};

// Holds a mutex for its scope and lets a condition variable wait on it.
class SCOPED_CAPABILITY UniqueLock {
public:
    explicit UniqueLock(Mutex& mutex) ACQUIRE(mutex) : lock_(mutex.mutex_) {}
    ~UniqueLock() RELEASE() {}
    UniqueLock(const UniqueLock&) = delete;
    UniqueLock& operator=(const UniqueLock&) = delete;

    // Waits until notified or the time is up; the mutex is held again on return.
    template <typename Duration>
    void waitFor(std::condition_variable& condition, Duration timeout) {
        condition.wait_for(lock_, timeout);
    }

private:
    std::unique_lock<std::mutex> lock_;
};

} // namespace vandra
