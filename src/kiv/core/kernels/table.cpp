// The kernels of the CPU level this object is built for (KIV_LEVEL),
// gathered from the family files.
#include "kiv/core/kernels.hpp"
#include "kiv/core/kernels/entries.hpp"

namespace kiv::levels::KIV_LEVEL {

extern const Kernels kernels;
const Kernels kernels = {
#define KIV_STRING(x) #x
#define KIV_NAME(x) KIV_STRING(x)
    KIV_NAME(KIV_LEVEL),
#undef KIV_NAME
#undef KIV_STRING
    rolling_mean_chunk,
    {values_numbers, values_band},
    {differences_numbers, differences_band},
    {variability_numbers, variability_band},
    window_ranks,
    narrow_widths,
    time_keys,
    time_shape,
    median_bytes,
};

}  // namespace kiv::levels::KIV_LEVEL
