// Stress test of KX2LFQueue for ThreadSanitizer: plain C++ and std::thread,
// no Qt, so every report concerns the queue itself.
//
// Four producers push disjoint ranges of integers and heap-owning strings;
// four consumers pop until every value has been taken. Exits non-zero when a
// value is lost, duplicated or seen out of its producer's order, or when the
// run exceeds its deadline. ThreadSanitizer reports fail the run through
// TSAN_OPTIONS (set by the test registration).

#include "kx2lfqueue.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kProducers = 4;
constexpr int kConsumers = 4;

struct Outcome
{
    std::vector<unsigned char> seen; // pop count per value, merged at the end
    bool orderBroken = false;
    bool timedOut = false;
};

// Values are producer * perProducer + sequence, so a consumer can check that
// the values of one producer reach it in increasing order.
template <typename T, typename Encode, typename Decode>
Outcome runStress(int perProducer, Encode encode, Decode decode, std::chrono::seconds limit)
{
    const int total = kProducers * perProducer;
    KX2LFQueue<T> queue;
    std::atomic<int> popped{0};
    std::atomic<bool> expired{false};
    std::atomic<bool> go{false}; // released once every thread exists, so they overlap
    auto waitForStart = [&go] {
        while (!go.load())
            std::this_thread::yield();
    };
    const auto deadline = std::chrono::steady_clock::now() + limit;

    std::vector<std::vector<int>> taken(kConsumers);
    std::vector<bool> orderBroken(kConsumers, false);
    std::vector<std::thread> threads;
    for (int p = 0; p < kProducers; ++p) {
        threads.emplace_back([&queue, &encode, &waitForStart, p, perProducer] {
            waitForStart();
            for (int i = 0; i < perProducer; ++i) {
                queue.push(encode(p * perProducer + i));
                queue.count.fetch_add(1);
            }
        });
    }
    for (int c = 0; c < kConsumers; ++c) {
        threads.emplace_back([&, c] {
            waitForStart();
            std::vector<int> last(kProducers, -1);
            T value;
            while (popped.load() < total) {
                if (!queue.pop(value)) {
                    if (std::chrono::steady_clock::now() > deadline) {
                        expired.store(true);
                        return;
                    }
                    std::this_thread::yield();
                    continue;
                }
                queue.count.fetch_sub(1);
                popped.fetch_add(1);
                const int v = decode(value);
                const int producer = v / perProducer;
                if (producer < 0 || producer >= kProducers || v <= last[producer])
                    orderBroken[c] = true;
                else
                    last[producer] = v;
                taken[c].push_back(v);
            }
        });
    }
    go.store(true);
    for (auto& thread : threads)
        thread.join();

    Outcome outcome;
    outcome.seen.assign(total, 0);
    outcome.timedOut = expired.load();
    for (int c = 0; c < kConsumers; ++c) {
        outcome.orderBroken = outcome.orderBroken || orderBroken[c];
        for (int v : taken[c]) {
            if (v >= 0 && v < total && outcome.seen[v] < 255)
                ++outcome.seen[v];
        }
    }
    if (queue.count.load() != 0)
        outcome.orderBroken = true;
    return outcome;
}

bool check(const char* name, const Outcome& outcome)
{
    int missing = 0;
    int duplicated = 0;
    for (unsigned char n : outcome.seen) {
        if (n == 0)
            ++missing;
        else if (n > 1)
            ++duplicated;
    }
    const bool ok = !outcome.timedOut && !outcome.orderBroken && missing == 0 && duplicated == 0;
    std::printf("%s: %zu values, missing %d, duplicated %d, order %s%s -> %s\n", name,
                outcome.seen.size(), missing, duplicated, outcome.orderBroken ? "broken" : "kept",
                outcome.timedOut ? ", timed out" : "", ok ? "PASS" : "FAIL");
    return ok;
}

} // namespace

int main(int argc, char** argv)
{
    // An argument scales the run down for quick local checks.
    const int perProducer = argc > 1 ? std::atoi(argv[1]) : 250000;
    bool ok = true;

    ok &= check("int",
                runStress<int>(
                    perProducer, [](int v) { return v; }, [](int v) { return v; },
                    std::chrono::seconds(50)));

    // Strings longer than the small-string buffer own heap memory, so a node
    // freed too early or a value read twice shows up as a race or a bad read.
    ok &=
        check("string",
              runStress<std::string>(
                  perProducer / 10, [](int v) { return std::to_string(v) + std::string(24, 'x'); },
                  [](const std::string& s) { return std::stoi(s); }, std::chrono::seconds(30)));
    return ok ? 0 : 1;
}
