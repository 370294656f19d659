// KX2LFQueue<T>: an unbounded multi-producer, multi-consumer FIFO without
// locks (Michael and Scott's linked queue with a dummy head node).
//
// Contract
// - Any number of threads may call push() and pop() at the same time. Each
//   pushed value is returned by exactly one pop(); values pushed by one
//   thread are popped in the order that thread pushed them.
// - pop() returns false when the queue was empty at some moment during the
//   call; it never blocks.
// - `count` is NOT maintained by the queue. Users increment it after a push
//   and decrement it after a successful pop, so it can briefly differ from
//   the number of linked values; treat a count of 0 or less as "empty" only
//   together with an end-of-production flag of your own.
// - The queue must outlive every thread that uses it. The destructor frees
//   every value still queued.
// - T must be default-constructible (the dummy node holds an empty T) and
//   movable. Qt's implicitly shared types (QString, QByteArray, QJsonObject)
//   are typical.
//
// Memory reclamation: hazard pointers. A thread publishes the node it is
// about to dereference in a hazard slot and re-checks that the node is still
// reachable; a dequeued node is "retired" and deleted only once no hazard
// slot holds it. This rules out use-after-free, and because a node cannot be
// freed and reallocated while a hazard names it, the compare-and-swap on
// `head` and `tail` is free of ABA. Hazard records are claimed per operation
// (not per thread), so short-lived threads leave nothing behind; the records
// and any still-retired nodes are freed by the destructor.

#ifndef KX2LFQUEUE_H
#define KX2LFQUEUE_H

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

template <typename T>
class KX2LFQueue
{
public:
    KX2LFQueue();
    ~KX2LFQueue();

    KX2LFQueue(const KX2LFQueue&) = delete;
    KX2LFQueue& operator=(const KX2LFQueue&) = delete;

    void push(const T& value) { enqueue(std::make_unique<Node>(value)); }
    void push(T&& value) { enqueue(std::make_unique<Node>(std::move(value))); }

    // Moves the oldest value into `value` and returns true, or leaves
    // `value` untouched and returns false when the queue is empty.
    bool pop(T& value);

    // Element count kept by the users of the queue (see the contract above).
    std::atomic<int> count{0};

private:
    struct Node
    {
        Node() = default;
        explicit Node(const T& v) : value(v) {}
        explicit Node(T&& v) : value(std::move(v)) {}

        std::atomic<Node*> next{nullptr};
        T value;
    };

    static constexpr int kHazardSlots = 2;

    // One record of hazard slots. A record is owned by at most one operation
    // at a time (claimed through `active`); its `retired` list travels with
    // the record, so only the current owner touches it. Records are never
    // unlinked before the destructor, which makes walking the list safe.
    struct HazardRecord
    {
        std::atomic<Node*> hazards[kHazardSlots] = {};
        std::atomic<bool> active{false};
        HazardRecord* next = nullptr; // fixed before the record is published
        std::vector<Node*> retired;
    };

    // Claims a hazard record for the duration of one operation and clears
    // its slots and releases it on every exit path.
    class HazardGuard
    {
    public:
        explicit HazardGuard(KX2LFQueue& queue) : m_record(queue.claimRecord()) {}
        ~HazardGuard()
        {
            clear();
            m_record->active.store(false, std::memory_order_release);
        }
        HazardGuard(const HazardGuard&) = delete;
        HazardGuard& operator=(const HazardGuard&) = delete;

        // Publishes the node currently held by `source` in `slot` and returns
        // it once `source` is seen unchanged after the publication: from
        // then on the node cannot be freed until the slot is cleared.
        Node* protect(int slot, const std::atomic<Node*>& source)
        {
            Node* node = source.load();
            for (;;) {
                m_record->hazards[slot].store(node);
                Node* again = source.load();
                if (again == node)
                    return node;
                node = again;
            }
        }
        void set(int slot, Node* node) { m_record->hazards[slot].store(node); }
        void clear()
        {
            for (auto& hazard : m_record->hazards)
                hazard.store(nullptr, std::memory_order_release);
        }
        HazardRecord* record() const { return m_record; }

    private:
        HazardRecord* m_record;
    };

    void enqueue(std::unique_ptr<Node> node);
    HazardRecord* claimRecord();
    void retire(HazardRecord* record, Node* node);
    void reclaim(HazardRecord* record);

    std::atomic<Node*> head;
    std::atomic<Node*> tail;
    std::atomic<bool> closed{false};
    std::atomic<HazardRecord*> records{nullptr};
    std::atomic<int> recordCount{0};
};

template <typename T>
KX2LFQueue<T>::KX2LFQueue()
{
    Node* dummy = new Node(); // owned by the list; freed by the destructor
    head.store(dummy);
    tail.store(dummy);
}

template <typename T>
KX2LFQueue<T>::~KX2LFQueue()
{
    closed.store(true);
    Node* node = head.load();
    while (node) {
        Node* next = node->next.load();
        delete node;
        node = next;
    }
    HazardRecord* record = records.load();
    while (record) {
        HazardRecord* next = record->next;
        for (Node* retired : record->retired)
            delete retired;
        delete record;
        record = next;
    }
}

template <typename T>
void KX2LFQueue<T>::enqueue(std::unique_ptr<Node> node)
{
    HazardGuard guard(*this);
    Node* last = nullptr;
    for (;;) {
        last = guard.protect(0, tail);
        Node* next = last->next.load(std::memory_order_acquire);
        if (last != tail.load())
            continue;
        if (next) {
            // Tail lags one node behind: help the slower pusher along.
            Node* expected = last;
            tail.compare_exchange_strong(expected, next);
            continue;
        }
        Node* expected = nullptr;
        if (last->next.compare_exchange_strong(expected, node.get(), std::memory_order_release,
                                               std::memory_order_relaxed))
            break;
    }
    // Linked: the list owns the node now. If the swing fails, another thread
    // has already moved the tail past it.
    Node* linked = node.release();
    tail.compare_exchange_strong(last, linked);
}

template <typename T>
bool KX2LFQueue<T>::pop(T& value)
{
    HazardGuard guard(*this);
    for (;;) {
        Node* first = guard.protect(0, head);
        Node* last = tail.load();
        Node* next = first->next.load(std::memory_order_acquire);
        guard.set(1, next);
        // While head is still `first`, `next` has not been dequeued, so the
        // hazard set above was published before anyone could retire it.
        if (first != head.load())
            continue;
        if (!next)
            return false;
        if (first == last) {
            Node* expected = last;
            tail.compare_exchange_strong(expected, next);
            continue;
        }
        Node* expected = first;
        if (head.compare_exchange_strong(expected, next)) {
            // Only the thread that moved head onto `next` ever reads its
            // value, so it may move it out; slot 1 keeps `next` alive.
            value = std::move(next->value);
            next->value = T();
            guard.clear();
            retire(guard.record(), first);
            return true;
        }
    }
}

template <typename T>
typename KX2LFQueue<T>::HazardRecord* KX2LFQueue<T>::claimRecord()
{
    for (HazardRecord* record = records.load(std::memory_order_acquire); record;
         record = record->next) {
        bool expected = false;
        if (!record->active.load(std::memory_order_relaxed)
            && record->active.compare_exchange_strong(expected, true, std::memory_order_acquire,
                                                      std::memory_order_relaxed))
            return record;
    }
    auto fresh = std::make_unique<HazardRecord>();
    fresh->active.store(true, std::memory_order_relaxed);
    HazardRecord* top = records.load(std::memory_order_relaxed);
    do {
        fresh->next = top;
    } while (!records.compare_exchange_weak(top, fresh.get(), std::memory_order_release,
                                            std::memory_order_relaxed));
    recordCount.fetch_add(1, std::memory_order_relaxed);
    return fresh.release(); // owned by the `records` list from here on
}

template <typename T>
void KX2LFQueue<T>::retire(HazardRecord* record, Node* node)
{
    record->retired.push_back(node);
    // Scanning costs a walk over every slot; batching keeps that amortised
    // constant while bounding the nodes held back per record.
    const std::size_t threshold =
        std::size_t(2 * kHazardSlots * recordCount.load(std::memory_order_relaxed)) + 32;
    if (record->retired.size() >= threshold)
        reclaim(record);
}

template <typename T>
void KX2LFQueue<T>::reclaim(HazardRecord* record)
{
    std::vector<Node*> guarded;
    for (HazardRecord* other = records.load(std::memory_order_acquire); other;
         other = other->next) {
        for (const auto& hazard : other->hazards) {
            if (Node* node = hazard.load())
                guarded.push_back(node);
        }
    }
    std::sort(guarded.begin(), guarded.end(), std::less<Node*>());

    std::vector<Node*> keep;
    for (Node* node : record->retired) {
        if (std::binary_search(guarded.begin(), guarded.end(), node, std::less<Node*>()))
            keep.push_back(node);
        else
            delete node;
    }
    record->retired.swap(keep);
}

#endif // KX2LFQUEUE_H
