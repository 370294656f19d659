// KX2FrameBudget: the bytes a local server holds for large request frames
// being received, and for whom.
//
// A connection that receives a frame larger than what it may buffer freely
// reserves the frame's size here before the frame's body is buffered, and
// gives it back once the frame is taken or the connection ends. At most
// limit() bytes are reserved at once, and one peer uid at most its fair
// share: limit() divided by the number of uids holding bytes (the asking
// one counted), and never more than half of limit(), so a second user's
// frame always finds room beside a first user who holds large frames open
// by sending them slowly. A reservation that does not fit is refused at
// once; nothing waits here.
//
// Memory: one entry per uid that holds bytes right now.
//
// Threads: every method may be called from any thread; one mutex guards
// the counts, held only for a lookup and a few additions.

#ifndef KX2FRAMEBUDGET_H
#define KX2FRAMEBUDGET_H

#include "kx2threadsafety.h"

#include <QtGlobal>

#include <unordered_map>

#include <sys/types.h>

class KX2FrameBudget
{
public:
    explicit KX2FrameBudget(qint64 limit);
    KX2FrameBudget(const KX2FrameBudget&) = delete;
    KX2FrameBudget& operator=(const KX2FrameBudget&) = delete;

    // Takes `bytes` for `uid`; false, with nothing taken, when they do not
    // fit the budget or the uid's share.
    bool reserve(uid_t uid, qint64 bytes);
    // Gives back `bytes` that `uid` took.
    void release(uid_t uid, qint64 bytes);

    // At least 0; bytes held beyond a lowered limit stay until released.
    void setLimit(qint64 bytes);
    qint64 limit() const;
    // Bytes held now, over all uids.
    qint64 held() const;

private:
    mutable KX2Mutex mutex;
    qint64 limitBytes KX2_GUARDED_BY(mutex);
    qint64 heldBytes KX2_GUARDED_BY(mutex) = 0;
    std::unordered_map<uid_t, qint64> byUid KX2_GUARDED_BY(mutex); // uids holding bytes
};

#endif // KX2FRAMEBUDGET_H
