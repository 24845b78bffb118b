// Which level's kernels run: the best this CPU supports, capped by
// KIV_CPU_LEVEL (so that tests and benchmarks reach every level on any
// machine). Settled once, by the module's import or the first use.
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#if defined(__x86_64__)
#include <cpuid.h>
#elif defined(__aarch64__) && defined(__linux__)
#include <asm/hwcap.h>
#include <sys/auxv.h>
#endif

#include "kiv/core/kernels.hpp"

namespace kiv {

namespace {

struct Level {
    const Kernels* kernels;
    bool (*supported)();
};

#if defined(__x86_64__)
// The CPU's features read from CPUID, and the register state the operating
// system saves (XGETBV), without the compiler's runtime: some runtimes have
// no CPU model, and __builtin_cpu_supports then says no to everything.
struct X86 {
    bool v3 = false, v4 = false;  // the x86-64 levels the kernels are built for
};

bool bit(unsigned reg, int n) { return (reg >> n & 1) != 0; }

X86 read_x86() {
    X86 x;
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return x;
    const bool fma = bit(c, 12), movbe = bit(c, 22), xsave = bit(c, 26), osxsave = bit(c, 27), avx = bit(c, 28),
               f16c = bit(c, 29);
    if (!osxsave || !xsave) return x;
    unsigned xcr0_low, xcr0_high;
    __asm__("xgetbv" : "=a"(xcr0_low), "=d"(xcr0_high) : "c"(0));
    const bool ymm = (xcr0_low & 0x6) == 0x6;      // SSE and AVX state
    const bool zmm = (xcr0_low & 0xE6) == 0xE6;    // and the opmask and upper ZMM state
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return x;
    const bool bmi1 = bit(b, 3), avx2 = bit(b, 5), bmi2 = bit(b, 8);
    const bool avx512 = bit(b, 16) && bit(b, 17) && bit(b, 28) && bit(b, 30) && bit(b, 31);  // F DQ CD BW VL
    unsigned ea, eb, ec, ed;
    const bool lzcnt = __get_cpuid(0x80000001, &ea, &eb, &ec, &ed) && bit(ec, 5);
    x.v3 = ymm && avx && avx2 && bmi1 && bmi2 && f16c && fma && lzcnt && movbe;
    x.v4 = x.v3 && zmm && avx512;
    return x;
}

const X86& x86() {
    static const X86 features = read_x86();
    return features;
}

// Lowest first; the first is what the module itself is compiled for.
const Level kLevels[] = {
    {&levels::baseline::kernels, [] { return true; }},
    {&levels::avx2::kernels, [] { return x86().v3; }},
    {&levels::avx512::kernels, [] { return x86().v4; }},
};
#elif defined(__aarch64__)
// Advanced SIMD, from the hardware capabilities the kernel hands over (not
// the compiler's runtime); elsewhere (macOS) every aarch64 CPU has it.
bool asimd() {
#if defined(__linux__)
    return (getauxval(AT_HWCAP) & HWCAP_ASIMD) != 0;
#else
    return true;
#endif
}
const Level kLevels[] = {{&levels::neon::kernels, asimd}};
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
    // No level below the first: a CPU without it cannot run kiv at all.
    if (!kLevels[0].supported()) error = std::string("this CPU lacks ") + kLevels[0].kernels->level;
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
