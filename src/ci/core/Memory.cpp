#include "Memory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>

namespace ci {

namespace {

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr double kGB = 1024.0 * 1024.0 * 1024.0;

std::atomic<int64_t>& held() {
    static std::atomic<int64_t> bytes{0};
    return bytes;
}

std::atomic<int64_t>& overrideLimit() {
    static std::atomic<int64_t> bytes{0};
    return bytes;
}

// A container's memory limit (cgroup v2), which can be far below the machine's memory.
std::optional<int64_t> cgroupLimit() {
    std::ifstream file("/sys/fs/cgroup/memory.max");
    std::string text;
    if (!(file >> text) || text == "max")
        return std::nullopt;
    char* end = nullptr;
    const long long v = std::strtoll(text.c_str(), &end, 10);
    if (end == text.c_str() || v <= 0)
        return std::nullopt;
    return int64_t(v);
}

} // namespace

namespace memory {

int64_t defaultLimit() {
    if (const char* env = std::getenv("GW_MEMORY_LIMIT_GB")) {
        char* end = nullptr;
        const double gb = std::strtod(env, &end);
        if (end != env && *end == '\0' && std::isfinite(gb) && gb > 0 && gb < 1e9)
            return std::max<int64_t>(1, int64_t(gb * kGB));
    }
    const long pages = sysconf(_SC_PHYS_PAGES), pageSize = sysconf(_SC_PAGESIZE);
    int64_t physical = pages > 0 && pageSize > 0 ? saturatingMul(pages, pageSize) : int64_t(8) << 30;
    if (auto cg = cgroupLimit(); cg && *cg < physical)
        physical = *cg;
    // Half leaves room for the encoded files, the codecs' own buffers, the window and the rest
    // of the desktop.
    return physical / 2;
}

} // namespace memory

std::optional<int64_t> checkedMul(int64_t a, int64_t b) {
    int64_t r = 0;
    if (a < 0 || b < 0 || __builtin_mul_overflow(a, b, &r))
        return std::nullopt;
    return r;
}

std::optional<int64_t> checkedAdd(int64_t a, int64_t b) {
    int64_t r = 0;
    if (a < 0 || b < 0 || __builtin_add_overflow(a, b, &r))
        return std::nullopt;
    return r;
}

int64_t saturatingMul(int64_t a, int64_t b) {
    return checkedMul(a, b).value_or(kMax);
}

int64_t saturatingAdd(int64_t a, int64_t b) {
    return checkedAdd(a, b).value_or(kMax);
}

std::string describeFailure(const std::exception& e) {
    if (dynamic_cast<const std::bad_alloc*>(&e) && !dynamic_cast<const MemoryLimitExceeded*>(&e))
        return "not enough memory";
    return e.what();
}

namespace memory {

int64_t limit() {
    static const int64_t fromMachine = defaultLimit();
    const int64_t o = overrideLimit().load(std::memory_order_relaxed);
    return o > 0 ? o : fromMachine;
}

void setLimit(int64_t bytes) {
    overrideLimit().store(std::max<int64_t>(0, bytes), std::memory_order_relaxed);
}

int64_t inUse() {
    return held().load(std::memory_order_relaxed);
}

std::string formatGB(int64_t bytes) {
    const double gb = double(bytes) / kGB;
    char text[64];
    std::snprintf(text, sizeof text, gb >= 100 ? "%.0f GB" : gb >= 1 ? "%.1f GB" : "%.2f GB", gb);
    return text;
}

std::string admit(int64_t bytes) {
    const int64_t max = limit(), used = inUse();
    if (bytes >= 0 && saturatingAdd(bytes, used) <= max)
        return {};
    std::string reason = "needs " + formatGB(bytes) + ", limit " + formatGB(max);
    if (bytes <= max)
        reason += " with " + formatGB(used) + " in use";
    return reason;
}

bool tryAcquire(int64_t bytes) noexcept {
    if (bytes <= 0)
        return true;
    const int64_t max = limit();
    int64_t used = held().load(std::memory_order_relaxed);
    do {
        if (saturatingAdd(used, bytes) > max)
            return false;
    } while (!held().compare_exchange_weak(used, used + bytes, std::memory_order_relaxed));
    return true;
}

void acquire(int64_t bytes) {
    if (!tryAcquire(bytes))
        throw MemoryLimitExceeded(admit(bytes));
}

void release(int64_t bytes) noexcept {
    if (bytes > 0)
        held().fetch_sub(bytes, std::memory_order_relaxed);
}

void preferHugePages(void* data, size_t bytes) {
#ifdef MADV_HUGEPAGE
    constexpr uintptr_t kHuge = uintptr_t(2) << 20;
    const uintptr_t p = reinterpret_cast<uintptr_t>(data);
    const uintptr_t first = (p + kHuge - 1) & ~(kHuge - 1), end = (p + bytes) & ~(kHuge - 1);
    if (data && bytes >= 4 * kHuge && end > first)
        madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
#else
    (void)data;
    (void)bytes;
#endif
}

} // namespace memory

} // namespace ci
