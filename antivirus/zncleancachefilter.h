// ZNCleanCacheFilter: the keys (device, inode) the clean-file cache held
// when a task opened it, in a Bloom filter, so that a worker learns that a
// file has no entry without asking SQLite. A lookup that misses costs a
// B-tree descent, about as much as the remembering of a file of a few
// bytes; a first scan of a tree beside remembered ones would pay it for
// every file.
//
// mayHold() is true for every key added, and for at most about 2 % of the
// others, typically under 1 % (those are looked up as before). Each key
// sets 3 bits of one 64-bit word, so an answer reads one word. Memory: about 12 bits per expected
// key, rounded up to a power of two, at least 1 KiB and at most 16 MiB;
// beyond that bound only the share of needless lookups grows.
//
// Threads: filled by one thread, then handed to others, which may call
// mayHold() at once; nothing changes it after that.

#ifndef ZNCLEANCACHEFILTER_H
#define ZNCLEANCACHEFILTER_H

#include <QtGlobal>

#include <vector>

class ZNCleanCacheFilter
{
public:
    explicit ZNCleanCacheFilter(qint64 expectedKeys);

    void add(quint64 device, quint64 inode);
    bool mayHold(quint64 device, quint64 inode) const;

private:
    std::vector<quint64> words;
    quint64 wordMask = 0;
};

#endif // ZNCLEANCACHEFILTER_H
