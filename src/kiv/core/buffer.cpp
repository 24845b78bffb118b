#include "kiv/core/buffer.hpp"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace kiv {

// A kernel without transparent huge pages refuses the advice, which
// changes nothing.
void advise_huge_pages(void* data, std::size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    madvise(data, bytes, MADV_HUGEPAGE);
#else
    (void)data;
    (void)bytes;
#endif
}

}  // namespace kiv
