#include "znhugepages.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#ifndef MADV_COLLAPSE
#define MADV_COLLAPSE 25 // Linux 6.1; older kernels answer EINVAL
#endif

namespace {

const quintptr kHugePage = quintptr(2) * 1024 * 1024;

struct FileCloser
{
    void operator()(FILE* file) const { std::fclose(file); }
};

// Advises the whole huge pages inside [start, end).
quint64 advise(quintptr start, quintptr end)
{
    const quintptr first = (start + kHugePage - 1) & ~(kHugePage - 1);
    const quintptr last = end & ~(kHugePage - 1);
    if (last <= first)
        return 0;
    void* const address = reinterpret_cast<void*>(first);
    if (::madvise(address, last - first, MADV_HUGEPAGE) != 0)
        return 0;
    // Without the collapse the kernel's background thread would move the
    // memory over in minutes rather than now; a failure leaves it to that.
    // Block by block: over a whole range the kernel gives up at the first
    // block it cannot move.
    for (quintptr block = first; block < last; block += kHugePage)
        ::madvise(reinterpret_cast<void*>(block), kHugePage, MADV_COLLAPSE);
    return last - first;
}

} // namespace

ZNMemoryRegions znAnonymousRegions()
{
    ZNMemoryRegions regions;
    std::unique_ptr<FILE, FileCloser> maps(std::fopen("/proc/self/maps", "re"));
    if (!maps)
        return regions;
    char line[512];
    while (std::fgets(line, sizeof line, maps.get())) {
        unsigned long start = 0, end = 0, offset = 0, inode = 0;
        char permissions[8] = {}, device[16] = {}, name[256] = {};
        const int fields = std::sscanf(line, "%lx-%lx %7s %lx %15s %lu %255s", &start, &end,
                                       permissions, &offset, device, &inode, name);
        if (fields < 6 || inode != 0 || std::strcmp(permissions, "rw-p") != 0)
            continue;
        if (name[0] && std::strcmp(name, "[heap]") != 0)
            continue; // [stack], [vvar] and the like
        regions.emplace_back(quintptr(start), quintptr(end));
    }
    return regions;
}

quint64 znAdviseHugePages(const ZNMemoryRegions& before)
{
    quint64 advised = 0;
    for (const auto& region : znAnonymousRegions()) {
        // The parts of `region` that no earlier region covered.
        quintptr from = region.first;
        for (const auto& old : before) {
            if (old.second <= from || old.first >= region.second)
                continue;
            if (old.first > from)
                advised += advise(from, old.first);
            from = std::max(from, old.second);
        }
        if (from < region.second)
            advised += advise(from, region.second);
    }
    return advised;
}
