#include "zncleancachefilter.h"

namespace {

const qint64 kBitsPerKey = 12;
const size_t kFewestWords = 128;           // 1 KiB
const size_t kMostWords = size_t(1) << 21; // 16 MiB

// A 64-bit mix of both fields (the finaliser of splitmix64), so that
// neighbouring inodes spread over the words.
quint64 hashOf(quint64 device, quint64 inode)
{
    quint64 x = inode ^ (device * 0x9E3779B97F4A7C15ULL);
    x ^= x >> 30;
    x *= 0xBF58476D1CE4E5B9ULL;
    x ^= x >> 27;
    x *= 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

// The key's 3 bits within its word, from the hash's low 18 bits.
quint64 bitsOf(quint64 hash)
{
    return (quint64(1) << (hash & 63)) | (quint64(1) << ((hash >> 6) & 63))
        | (quint64(1) << ((hash >> 12) & 63));
}

} // namespace

ZNCleanCacheFilter::ZNCleanCacheFilter(qint64 expectedKeys)
{
    const qint64 wanted = qMax<qint64>(0, expectedKeys) / 64 * kBitsPerKey + kBitsPerKey;
    size_t count = kFewestWords;
    while (count < kMostWords && qint64(count) < wanted)
        count *= 2;
    words.assign(count, 0);
    wordMask = count - 1;
}

void ZNCleanCacheFilter::add(quint64 device, quint64 inode)
{
    const quint64 hash = hashOf(device, inode);
    words[(hash >> 18) & wordMask] |= bitsOf(hash);
}

bool ZNCleanCacheFilter::mayHold(quint64 device, quint64 inode) const
{
    const quint64 hash = hashOf(device, inode);
    const quint64 bits = bitsOf(hash);
    return (words[(hash >> 18) & wordMask] & bits) == bits;
}
