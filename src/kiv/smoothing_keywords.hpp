// The keywords that set the smoothing parameters, shared by the functions
// that take them, beside their reader. A function's signature names them
// through these constants; their defaults are SmoothingParams' own.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "binding/binder.hpp"
#include "kiv/core/parameters.hpp"

namespace kiv {

namespace keyword {
inline constexpr const char* min_window_size = "min_window_size";
inline constexpr const char* max_window_sec = "max_window_sec";
inline constexpr const char* window_smooth_width_size = "window_smooth_width_size";
inline constexpr const char* low_percentile = "low_percentile";
inline constexpr const char* high_percentile = "high_percentile";
}  // namespace keyword

namespace detail {

template <double SmoothingParams::*Field>
void read_float(PyObject* argument, const char* name, SmoothingParams& params) {
    params.*Field = float_argument(argument, name, params.*Field);
}

template <std::uint64_t SmoothingParams::*Field>
void read_u64(PyObject* argument, const char* name, SmoothingParams& params) {
    params.*Field = u64_argument(argument, name, params.*Field);
}

struct SmoothingKeyword {
    const char* name;
    // Converts a given argument into its field; throws the argument's error.
    void (*read)(PyObject* argument, const char* name, SmoothingParams& params);
};

inline constexpr std::array<SmoothingKeyword, 5> kSmoothingKeywords = {{
    {keyword::min_window_size, read_float<&SmoothingParams::min_window_size>},
    {keyword::max_window_sec, read_float<&SmoothingParams::max_window_sec>},
    {keyword::window_smooth_width_size, read_u64<&SmoothingParams::window_smooth_width_size>},
    {keyword::low_percentile, read_float<&SmoothingParams::low_percentile>},
    {keyword::high_percentile, read_float<&SmoothingParams::high_percentile>},
}};

// For each slot of the signature, its smoothing keyword's index, or -1.
template <std::size_t Positional, std::size_t KeywordOnly>
consteval std::array<int, Positional + KeywordOnly> smoothing_slots(const Signature<Positional, KeywordOnly>& s) {
    std::array<int, Positional + KeywordOnly> kinds{};
    for (std::size_t slot = 0; slot < kinds.size(); ++slot) {
        const std::string_view name = slot < Positional ? s.positional[slot] : s.keyword_only[slot - Positional];
        kinds[slot] = -1;
        for (std::size_t k = 0; k < kSmoothingKeywords.size(); ++k) {
            if (name == kSmoothingKeywords[k].name) kinds[slot] = static_cast<int>(k);
        }
    }
    return kinds;
}

}  // namespace detail

// The smoothing parameters given among a call's arguments, converted in the
// signature's order (the first bad one is reported); defaults elsewhere.
template <const auto& S>
SmoothingParams smoothing_params(const BoundArguments<S.kSlots>& bound) {
    static constexpr auto kinds = detail::smoothing_slots(S);
    SmoothingParams params;
    for (std::size_t slot = 0; slot < S.kSlots; ++slot) {
        if (kinds[slot] < 0 || bound[slot] == nullptr) continue;
        const detail::SmoothingKeyword& keyword = detail::kSmoothingKeywords[static_cast<std::size_t>(kinds[slot])];
        keyword.read(bound[slot], keyword.name, params);
    }
    return params;
}

}  // namespace kiv
