// mutex.h - a mutex whose lock rules the compiler checks.
//
// Clang's -Wthread-safety reads the annotations: a field marked
// GUARDED_BY(m) may only be touched while m is held, a function marked
// REQUIRES(m) only called with m held, and a scoped `mutex_lock` holds it
// for its block. GCC ignores them. The same idea as LevelDB's port::Mutex
// and its thread_annotations.h; the wrapper adds nothing at run time.
#ifndef COMPAT_MUTEX_H
#define COMPAT_MUTEX_H

#include <chrono>
#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define THREAD_ANNOTATION(x) __attribute__((x))
#else
#define THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) THREAD_ANNOTATION(pt_guarded_by(x))
#define REQUIRES(...) THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define EXCLUDES(...) THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS THREAD_ANNOTATION(no_thread_safety_analysis)

// A std::mutex the analysis knows, with a condition variable of its own
// (the replay's streams wait on theirs for a stretch being indexed).
class CAPABILITY("mutex") annotated_mutex {
public:
    void lock() ACQUIRE() { m_.lock(); }
    void unlock() RELEASE() { m_.unlock(); }
    // Waits for notify_all (or a spurious wake-up) with the mutex held on
    // entry and on return.
    void wait() REQUIRES(this)
    {
        std::unique_lock<std::mutex> held(m_, std::adopt_lock);
        changed_.wait(held);
        held.release();
    }
    void notify_all() { changed_.notify_all(); }

private:
    std::mutex m_;
    std::condition_variable changed_;
};

// Holds the mutex for its scope.
class SCOPED_CAPABILITY mutex_lock {
public:
    explicit mutex_lock(annotated_mutex *m) ACQUIRE(m) : m_(m) { m_->lock(); }
    ~mutex_lock() RELEASE() { m_->unlock(); }
    mutex_lock(const mutex_lock &) = delete;
    mutex_lock &operator=(const mutex_lock &) = delete;

private:
    annotated_mutex *m_;
};

#endif // COMPAT_MUTEX_H
