// Transparent huge pages for a freshly loaded virus engine.
//
// With a large signature set most of a scan's time goes to libclamav's
// matchers walking their tables: hundreds of MB of small structures read
// at random, one lookup per scanned byte. On 4 KiB pages nearly every
// lookup misses the TLB (and in a virtual machine each miss walks two page
// tables); backing the engine's memory with 2 MiB pages cut the CPU time of
// a scan with 3 million MD5 and 200,000 body signatures by about 8 %.
//
// Usage, on the thread that loads the engine:
//   const ZNMemoryRegions before = znAnonymousRegions();
//   ... cl_load(), cl_engine_compile() ...
//   znAdviseHugePages(before);
// Only anonymous private writable memory mapped since `before` is advised,
// so thread stacks and other memory that existed before the load (mostly
// untouched, which huge pages would fill) keep their small pages. Memory
// other threads mapped in between may be advised too; that is harmless.
//
// Both functions are reentrant. Failures (no /proc, a kernel without huge
// pages or without synchronous collapse, no free huge page) change nothing
// and are not reported: the engine works the same on small pages.

#ifndef ZNHUGEPAGES_H
#define ZNHUGEPAGES_H

#include <QtGlobal>

#include <utility>
#include <vector>

// [start, end) address ranges, in ascending order.
using ZNMemoryRegions = std::vector<std::pair<quintptr, quintptr>>;

// The process's anonymous private writable mappings (the heap included).
ZNMemoryRegions znAnonymousRegions();

// Asks for huge pages over every whole 2 MiB block of anonymous memory
// mapped since `before`, and has the kernel move the block onto one at
// once. Returns the number of bytes advised.
quint64 znAdviseHugePages(const ZNMemoryRegions& before);

#endif // ZNHUGEPAGES_H
