// Each kernel family's entry points, declared in the namespace of the CPU
// level being built (table.cpp gathers them into the level's Kernels). Only
// these plain functions leave a family's object.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kiv/core/kernels.hpp"

#ifndef KIV_LEVEL
#error "KIV_LEVEL names the CPU level this file is built for"
#endif

namespace kiv::levels::KIV_LEVEL {

// mean.cpp
void rolling_mean_chunk(const double* samples, const std::uint8_t* widths, const std::int64_t* sizes, std::size_t n,
                        std::size_t from, std::size_t to, double* clean, std::uint32_t* present, double* out);
bool narrow_widths(const std::int64_t* sizes, std::size_t n, std::uint8_t* widths);

// selection.cpp
std::size_t values_numbers(const double* v, std::size_t n);
BandCounts values_band(const double* v, std::size_t n, double low, double high, double* middle);
std::size_t differences_numbers(const double* v, std::size_t n);
BandCounts differences_band(const double* v, std::size_t n, double low, double high, double* middle);
std::size_t variability_numbers(const double* v, std::size_t n);
BandCounts variability_band(const double* v, std::size_t n, double low, double high, double* middle);

// ranks.cpp
void window_ranks(const RawWindows& raw, double base, double top, std::uint16_t* ranks);

// time_keys.cpp
KeyRange time_keys(const double* t, std::size_t n, double* keys);
TimeShape time_shape(const double* t, std::size_t n);

// median.cpp
void median_bytes(const std::uint16_t* ranks, std::size_t n, std::size_t w, const MedianScale& scale,
                  std::uint8_t* out);

}  // namespace kiv::levels::KIV_LEVEL
