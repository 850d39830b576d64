// Maps the opaque 32-bit handles given to callers to live objects.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace ravelnet {

// Handles come from a counter that only moves forward: a value comes back
// only after 2^32 further handles, and never while it is still registered,
// so a stale handle from a finished task finds nothing rather than somebody
// else's connection. 0 is never given out.
template <class T>
class HandleRegistry {
public:
    std::uint32_t Add(std::shared_ptr<T> object)
    {
        std::lock_guard lock(mutex_);
        do {
            ++last_;
        } while (last_ == 0 || live_.contains(last_));
        live_.emplace(last_, std::move(object));
        return last_;
    }

    // The object stays alive for the caller even if it is removed meanwhile.
    std::shared_ptr<T> Find(std::uint32_t handle) const
    {
        std::lock_guard lock(mutex_);
        auto found = live_.find(handle);
        return found == live_.end() ? nullptr : found->second;
    }

    // Removes the handle and hands back what it named (null when it named
    // nothing): of two threads removing the same handle, one gets it.
    std::shared_ptr<T> Remove(std::uint32_t handle)
    {
        std::lock_guard lock(mutex_);
        auto found = live_.find(handle);
        if (found == live_.end())
            return nullptr;
        auto object = std::move(found->second);
        live_.erase(found);
        return object;
    }

private:
    mutable std::mutex mutex_;
    std::unordered_map<std::uint32_t, std::shared_ptr<T>> live_;
    std::uint32_t last_ = 0;
};

} // namespace ravelnet
