#pragma once

// A mutex and its scoped lock that clang's thread-safety analysis knows: fields marked
// TOVO_GUARDED_BY(m) may be touched only while `m` is held, and a function marked
// TOVO_REQUIRES(m) only called with it held; the build refuses code that breaks either.
// Other compilers see plain std::mutex and std::unique_lock.

#include <chrono>
#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define TOVO_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define TOVO_THREAD_ANNOTATION(x)
#endif

#define TOVO_CAPABILITY(x) TOVO_THREAD_ANNOTATION(capability(x))
#define TOVO_SCOPED_CAPABILITY TOVO_THREAD_ANNOTATION(scoped_lockable)
#define TOVO_GUARDED_BY(x) TOVO_THREAD_ANNOTATION(guarded_by(x))
#define TOVO_PT_GUARDED_BY(x) TOVO_THREAD_ANNOTATION(pt_guarded_by(x))
#define TOVO_REQUIRES(...) TOVO_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define TOVO_EXCLUDES(...) TOVO_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define TOVO_ACQUIRE(...) TOVO_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define TOVO_RELEASE(...) TOVO_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TOVO_TRY_ACQUIRE(...) TOVO_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define TOVO_NO_THREAD_SAFETY_ANALYSIS TOVO_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace tovo {

class TOVO_CAPABILITY("mutex") Mutex {
public:
    void lock() TOVO_ACQUIRE() { m.lock(); }
    void unlock() TOVO_RELEASE() { m.unlock(); }
    bool try_lock() TOVO_TRY_ACQUIRE(true) { return m.try_lock(); }

private:
    friend class MutexLock;
    std::mutex m;
};

// Holds a Mutex for its scope; unlock() and lock() let it go and take it again in between,
// and wait() waits on a condition variable, which releases it for the wait.
class TOVO_SCOPED_CAPABILITY MutexLock {
public:
    explicit MutexLock(Mutex& mutex) TOVO_ACQUIRE(mutex) : held(mutex.m) {}
    ~MutexLock() TOVO_RELEASE() = default;
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

    void lock() TOVO_ACQUIRE() { held.lock(); }
    void unlock() TOVO_RELEASE() { held.unlock(); }

    // The mutex is held again when these return (also on a spurious wake: callers loop on
    // their condition, in their own scope, where the analysis sees the lock).
    void wait(std::condition_variable& cond) { cond.wait(held); }
    template <typename Clock, typename Duration>
    std::cv_status waitUntil(std::condition_variable& cond, const std::chrono::time_point<Clock, Duration>& deadline) {
        return cond.wait_until(held, deadline);
    }
    template <typename Rep, typename Period>
    std::cv_status waitFor(std::condition_variable& cond, const std::chrono::duration<Rep, Period>& span) {
        return cond.wait_for(held, span);
    }

private:
    std::unique_lock<std::mutex> held;
};

}  // namespace tovo
