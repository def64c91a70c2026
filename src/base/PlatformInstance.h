#pragma once

#include <memory>
#include <mutex>

namespace tovo {

// The process-wide instance of a platform facility, made by T::create() on first use and
// kept for the process; tests may put a replacement in its place (null restores it).
// Replacements are for tests only: swap them while nothing else uses the facility.
template <typename T>
class PlatformInstance {
public:
    T& get() {
        {
            std::lock_guard<std::mutex> guard(lock);
            if (replacement) return *replacement;
        }
        static T* const platform = T::create().release();  // lives for the process
        return *platform;
    }
    std::shared_ptr<T> override() {
        std::lock_guard<std::mutex> guard(lock);
        return replacement;
    }
    void replace(std::shared_ptr<T> instance) {
        std::lock_guard<std::mutex> guard(lock);
        replacement = std::move(instance);
    }

private:
    std::mutex lock;  // guards replacement
    std::shared_ptr<T> replacement;
};

}  // namespace tovo
