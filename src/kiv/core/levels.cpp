// Which level's kernels run: the best this CPU supports, capped by
// KIV_CPU_LEVEL (so that tests and benchmarks reach every level on any
// machine). Settled once, by the module's import or the first use.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kiv/core/kernels.hpp"

namespace kiv {

namespace {

struct Level {
    const Kernels* kernels;
    bool (*supported)();
};

// Lowest first; the first is always supported.
#if defined(__x86_64__)
const Level kLevels[] = {
    {&levels::baseline::kernels, [] { return true; }},
    {&levels::avx2::kernels, [] { return __builtin_cpu_init(), __builtin_cpu_supports("x86-64-v3") != 0; }},
    {&levels::avx512::kernels, [] { return __builtin_cpu_init(), __builtin_cpu_supports("x86-64-v4") != 0; }},
};
#elif defined(__aarch64__)
const Level kLevels[] = {{&levels::neon::kernels, [] { return true; }}};
#else
#error "kiv's kernels are built for x86-64 and aarch64"
#endif

CpuLevel choose(const char* cap) {
    std::size_t top = std::size(kLevels);
    std::string error;
    if (cap != nullptr && cap[0] != '\0') {
        // "baseline" names the lowest level everywhere.
        top = std::strcmp(cap, "baseline") == 0 ? 1 : 0;
        for (std::size_t i = 0; i < std::size(kLevels) && top == 0; ++i)
            if (std::strcmp(cap, kLevels[i].kernels->level) == 0) top = i + 1;
        if (top == 0) {
            error = "KIV_CPU_LEVEL must be baseline";
            for (const Level& level : kLevels)
                if (std::strcmp(level.kernels->level, "baseline") != 0) error = error + ", " + level.kernels->level;
            error = error + " or unset, not '" + cap + "'";
            top = std::size(kLevels);
        }
    }
    std::size_t best = 0;
    while (best + 1 < top && kLevels[best + 1].supported()) ++best;
    return {kLevels[best].kernels, error};
}

std::atomic<const Kernels*> in_use{nullptr};

}  // namespace

CpuLevel cpu_level() { return choose(std::getenv("KIV_CPU_LEVEL")); }

const Kernels& settle_kernels(const Kernels& level) {
    const Kernels* settled = nullptr;
    return in_use.compare_exchange_strong(settled, &level, std::memory_order_acq_rel) ? level : *settled;
}

const Kernels* settled_kernels() { return in_use.load(std::memory_order_acquire); }

const Kernels& kernels() {
    if (const Kernels* settled = settled_kernels()) return *settled;
    return settle_kernels(*cpu_level().kernels);
}

}  // namespace kiv
