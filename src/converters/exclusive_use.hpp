// One object, one thread at a time. A call claims its object for as long as it runs; a call
// that finds the object claimed, by another thread or from inside the running call, is
// refused at once and changes nothing.
#pragma once

#include <atomic>
#include <stdexcept>
#include <string>

namespace quavix {

// The claim of one object. Each object has a flag of its own: copies start unclaimed.
class UseFlag {
public:
    UseFlag() = default;
    UseFlag(const UseFlag& /*other*/) noexcept {}
    UseFlag& operator=(const UseFlag&) = delete;

    bool try_claim() const noexcept { return !claimed_.exchange(true, std::memory_order_acquire); }
    void release() const noexcept { claimed_.store(false, std::memory_order_release); }

private:
    // Claimed through const members too: a copy claims its source while it reads it.
    mutable std::atomic<bool> claimed_{false};
};

// Throws the std::runtime_error "<owner>: <member> is not allowed while <reason>".
[[noreturn]] inline void refuse_use(const char* owner, const char* member, const char* reason) {
    throw std::runtime_error(std::string(owner) + ": " + member + " is not allowed while " +
                             reason);
}

// Holds the claim of an object for one call.
class UseClaim {
public:
    UseClaim(const UseFlag& flag, const char* owner, const char* member, const char* reason)
        : flag_(flag) {
        if (!flag.try_claim()) {
            refuse_use(owner, member, reason);
        }
    }
    ~UseClaim() { flag_.release(); }
    UseClaim(const UseClaim&) = delete;
    UseClaim& operator=(const UseClaim&) = delete;

private:
    const UseFlag& flag_;
};

} // namespace quavix
