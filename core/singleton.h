#pragma once

#include <atomic>
#include <mutex>

namespace veltrax {

// The one-instance mechanics shared by every component class: a lazily created instance,
// a class-wide lock serialising creation and teardown, double-checked creation so that the
// common path (instance already there) takes no lock.
template <class T>
class Singleton
{
public:
    // beforeCreate runs under the class lock just before the object is constructed.
    static T* access(void (*beforeCreate)() = nullptr)
    {
        T* existing = slot().load(std::memory_order_acquire);
        if (existing)
            return existing;
        std::lock_guard<std::mutex> creationLocker(lock());
        existing = slot().load(std::memory_order_acquire);
        if (!existing) {
            if (beforeCreate)
                beforeCreate();
            existing = new T(nullptr);
            slot().store(existing, std::memory_order_release);
        }
        return existing;
    }

    static void destroy()
    {
        std::lock_guard<std::mutex> teardownLocker(lock());
        T* doomed = slot().exchange(nullptr, std::memory_order_acq_rel);
        delete doomed;
    }

    // The instance if it exists, without creating it.
    static T* peek() { return slot().load(std::memory_order_acquire); }

private:
    static std::atomic<T*>& slot()
    {
        static std::atomic<T*> instance{nullptr};
        return instance;
    }
    static std::mutex& lock()
    {
        static std::mutex classLock;
        return classLock;
    }
};

} // namespace veltrax

// Declares the static accessors of a component and hides copying. The constructor, which
// takes an optional parent, stays private; the helper is its friend.
#define VELTRAX_SINGLETON_ACCESS(Class)                                                        \
public:                                                                                        \
    static Class* AccessMemory() { return ::veltrax::Singleton<Class>::access(); }             \
    static void Destroy() { ::veltrax::Singleton<Class>::destroy(); }                          \
    static Class* Existing() { return ::veltrax::Singleton<Class>::peek(); }                   \
                                                                                               \
private:                                                                                       \
    friend class ::veltrax::Singleton<Class>;                                                  \
    Class(const Class&) = delete;                                                              \
    Class& operator=(const Class&) = delete;
