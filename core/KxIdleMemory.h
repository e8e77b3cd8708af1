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

// Blocks of 256 KiB and more (pictures, packet payloads, encoder buffers)
// get mappings of their own that go back to the system when freed. glibc
// otherwise raises that threshold after the first such free, and the
// lesson's large blocks then stay in thread heaps that a trim cannot
// shrink. A lesson maps and unmaps a few dozen such blocks: no measurable
// cost. Called once at the start of the program.
inline void kxGiveLargeBlocksTheirOwnMappings()
{
#if defined(__GLIBC__)
    mallopt(M_MMAP_THRESHOLD, 256 * 1024);
#endif
}
