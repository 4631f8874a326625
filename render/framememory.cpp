#include "render/framememory.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace jf {

void keepFrameMemory()
{
#if defined(__GLIBC__)
    static const bool once = [] {
        mallopt(M_MMAP_THRESHOLD, 32 << 20);
        mallopt(M_TRIM_THRESHOLD, 64 << 20);
        return true;
    }();
    (void)once;
#endif
}

} // namespace jf
