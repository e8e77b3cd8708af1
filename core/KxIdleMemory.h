#pragma once
// Hands the allocator's free memory back to the system. The program spends
// most of the day idle in the tray, and glibc keeps what a lesson (or the
// start-up animation) freed in its heaps for reuse: megabytes of frame and
// packet buffers that no one needs until the next lesson. Called at the
// moments the program falls idle, never on a recording's path.

#if defined(__GLIBC__)
#include <malloc.h>
#endif

inline void kxReturnFreeMemory()
{
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}
