#pragma once

#include <atomic>
#include <mutex>
#include <shared_mutex>

// The one process-wide instance of T, made and ended explicitly. The pointer
// is tested once without the lock and, when that is inconclusive, again under
// it. A pointer returned by instance() is valid until destroy().
// Threading: any thread; T's destructor must not wait on a thread that calls
// instance(), create() or destroy().
template <class T>
class SingletonDclp
{
public:
    static void create()
    {
        if (s_instance.load(std::memory_order_acquire))
            return;
        std::unique_lock<std::shared_mutex> locker(s_lock);
        if (!s_instance.load(std::memory_order_relaxed))
            s_instance.store(new T, std::memory_order_release);   // owned here until destroy()
    }

    // Never creates; null before create() and after destroy().
    static T *instance()
    {
        T *object = s_instance.load(std::memory_order_acquire);
        if (!object) {
            std::shared_lock<std::shared_mutex> locker(s_lock);
            object = s_instance.load(std::memory_order_acquire);
        }
        return object;
    }

    static void destroy()
    {
        if (!s_instance.load(std::memory_order_acquire))
            return;
        std::unique_lock<std::shared_mutex> locker(s_lock);
        // Cleared before the deletion, which may take a while (a thread to
        // end): meanwhile instance() finds null, waits for the lock and
        // returns null rather than a half-destroyed object.
        T *object = s_instance.exchange(nullptr, std::memory_order_acq_rel);
        delete object;
    }

protected:
    SingletonDclp() = default;
    ~SingletonDclp() = default;

private:
    inline static std::atomic<T *> s_instance{nullptr};
    inline static std::shared_mutex s_lock;
};
