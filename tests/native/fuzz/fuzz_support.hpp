// Shared by the harnesses: turning fuzz bytes into the values the cores find
// hard (NaN, infinities, signed zeros, repeats, ties, extremes), or into long
// runs of a few values, and checking that the fast and the literal core agree
// bit for bit, failures included.
#pragma once

#include <algorithm>
#include <bit>
#include <cinttypes>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "kiv/core/failure.hpp"
#include "kiv/core/thresholds.hpp"

namespace kiv::fuzz {

class FuzzInput {
public:
    FuzzInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool empty() const { return pos_ >= size_; }

    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }

    std::uint64_t raw64() {
        std::uint64_t v = 0;
        for (int i = 0; i < 8; ++i) v |= std::uint64_t{byte()} << (8 * i);
        return v;
    }

    // A double, mostly from a palette of awkward values. Repeats of the last
    // value give ties; small steps from it give runs of close values. A
    // second series read from the same bytes keeps its own last value.
    double number(bool allow_nan = true, double* series = nullptr) {
        double& last = series ? *series : last_number_;
        const std::uint8_t tag = byte();
        double v;
        switch (tag % 16) {
            case 0: v = allow_nan ? std::numeric_limits<double>::quiet_NaN() : 0.5; break;
            case 1: v = allow_nan ? std::bit_cast<double>(raw64() | 0x7FF0000000000001) : -0.5; break;
            case 2: v = std::numeric_limits<double>::infinity(); break;
            case 3: v = -std::numeric_limits<double>::infinity(); break;
            case 4: v = 0.0; break;
            case 5: v = -0.0; break;
            case 6: v = last; break;
            case 7: v = static_cast<std::int8_t>(byte()); break;
            case 8: v = static_cast<std::int8_t>(byte()) * 0.5; break;
            case 9: v = std::bit_cast<double>(raw64()); break;
            case 10: v = std::ldexp(byte() & 1 ? -1.0 : 1.0, static_cast<int>(byte() % 160) - 80); break;
            case 11: {
                static constexpr double extremes[] = {
                    std::numeric_limits<double>::max(), -std::numeric_limits<double>::max(),
                    std::numeric_limits<double>::denorm_min(), std::numeric_limits<double>::min(),
                    0x1p53, 0x1p63, -0x1p63, 0x1p64, 9223372036854774784.0, 0.05, 0.1, 2.5,
                    1e300, -1e300, 255.5, 256.0, 0x1p38, -0x1p38 - 1};
                v = extremes[byte() % std::size(extremes)];
                break;
            }
            default: v = last + static_cast<double>(tag % 16 - 12); break;
        }
        if (!allow_nan && std::isnan(v)) v = 0.0;
        last = v;
        return v;
    }

    // An unsigned 64-bit parameter: mostly small, sometimes at the edges.
    std::uint64_t count() {
        const std::uint8_t tag = byte();
        switch (tag % 8) {
            case 0: return 0;
            case 1: return std::numeric_limits<std::uint64_t>::max();
            case 2: return std::uint64_t{1} << 63;
            case 3: return raw64();
            case 4: return byte() + std::uint64_t{byte()} * 256;
            default: return byte() % 48;
        }
    }

    // A percentile: mostly 0..100.5 in halves, else any double.
    double percentile() {
        const std::uint8_t tag = byte();
        return tag < 202 ? tag * 0.5 : number();
    }

    std::vector<double> numbers(std::size_t limit, bool allow_nan = true) {
        std::vector<double> out;
        while (!empty() && out.size() < limit) out.push_back(number(allow_nan));
        return out;
    }

    // The longest series that runs make: past every size threshold twice.
    static constexpr std::size_t kLongest =
        2 * std::max(thresholds::kBandMinimum, thresholds::kMeanChunk) + thresholds::kMeanReach;

    // A run's length: short, or within a byte's reach of a threshold.
    std::size_t run_length() {
        const std::uint8_t tag = byte();
        const auto near = [&](std::size_t size) {
            const auto shift = static_cast<std::int8_t>(byte());
            return shift < 0 ? size - std::min<std::size_t>(size, static_cast<std::size_t>(-shift))
                             : size + static_cast<std::size_t>(shift);
        };
        switch (tag % 4) {
            case 0: return near(thresholds::kBandMinimum);
            case 1: return near(thresholds::kMeanChunk);
            case 2: return near(thresholds::kBandSample);
            default: return tag / 4 + 1;
        }
    }

    // Long series from few bytes, as an integer sensor or a clock gives them:
    // runs of a few values, NaN and steps, any of them at either end.
    std::vector<double> runs(std::size_t limit, bool allow_nan = true, std::size_t pieces = SIZE_MAX) {
        double palette[4];
        for (double& v : palette) v = number(allow_nan);
        std::vector<double> out;
        double level = palette[0];
        while (!empty() && out.size() < limit && pieces-- != 0) {
            const std::uint8_t tag = byte();
            const double v = palette[tag % 4];
            std::size_t length = std::min(run_length(), limit - out.size());
            if (tag & 4) {  // steps of v from the level reached: sorted either way
                while (length-- != 0) out.push_back(level += v);
            } else {
                out.insert(out.end(), length, (tag & 8) && allow_nan ? std::numeric_limits<double>::quiet_NaN() : v);
            }
        }
        return out;
    }

    // A harness's values: as they come, or (low bit of a byte set) as runs.
    std::vector<double> series(std::size_t limit, bool allow_nan = true) {
        return byte() & 1 ? runs(kLongest, allow_nan) : numbers(limit, allow_nan);
    }

    // The literal sliding median sorts every window: over long series, keep
    // the width small (0, 1, odd and even included).
    static std::uint64_t bounded_width(std::uint64_t w, std::size_t n) { return n > 1024 ? w % 64 : w; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
    double last_number_ = 0.0;
};

// What one side did: a value, or the message of its internal failure.
template <class T>
struct Outcome {
    std::optional<T> value;
    std::string failure;
};

template <class F>
auto run(F&& f) -> Outcome<decltype(f())> {
    try {
        return {f(), {}};
    } catch (const InternalFailure& e) {
        return {std::nullopt, e.message()};
    }
}

// Bit for bit, NaN included: every NaN kiv makes is the same one.
inline bool same(double a, double b) { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); }
inline bool same(std::int64_t a, std::int64_t b) { return a == b; }
inline bool same(std::uint8_t a, std::uint8_t b) { return a == b; }

inline std::string show(double v) {
    char text[64];
    std::snprintf(text, sizeof text, "%.17g (0x%016" PRIx64 ")", v, std::bit_cast<std::uint64_t>(v));
    return text;
}
inline std::string show(std::int64_t v) { return std::to_string(v); }
inline std::string show(std::uint8_t v) { return std::to_string(v); }

[[noreturn]] inline void mismatch(const char* what, const std::string& detail) {
    std::fprintf(stderr, "\nkiv fuzz: fast and literal %s differ: %s\n", what, detail.c_str());
    std::fflush(stderr);
    std::abort();
}

template <class T>
std::string describe(const Outcome<T>& outcome) {
    return outcome.value ? std::string("returned") : "failed \"" + outcome.failure + "\"";
}

template <class T>
void check_failures(const char* what, const Outcome<T>& fast, const Outcome<T>& literal) {
    if (fast.value.has_value() != literal.value.has_value() || fast.failure != literal.failure) {
        mismatch(what, "fast " + describe(fast) + ", literal " + describe(literal));
    }
}

template <class T>
void expect_same(const char* what, const Outcome<T>& fast, const Outcome<T>& literal) {
    check_failures(what, fast, literal);
    if (fast.value && !same(*fast.value, *literal.value)) {
        mismatch(what, "fast " + show(*fast.value) + ", literal " + show(*literal.value));
    }
}

// For the cores that return buffers: compares element by element.
template <class Buffer>
void expect_same_elements(const char* what, const Outcome<Buffer>& fast, const Outcome<Buffer>& literal) {
    check_failures(what, fast, literal);
    if (!fast.value) return;
    const Buffer& a = *fast.value;
    const Buffer& b = *literal.value;
    if (a.size() != b.size()) {
        mismatch(what, "fast length " + std::to_string(a.size()) + ", literal length " + std::to_string(b.size()));
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (!same(a[i], b[i])) {
            mismatch(what, "at " + std::to_string(i) + " of " + std::to_string(a.size()) + ": fast " +
                               show(a[i]) + ", literal " + show(b[i]));
        }
    }
}

}  // namespace kiv::fuzz
