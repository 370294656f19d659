// Throughput of KX2LFQueue against a std::mutex + std::deque queue, measured
// in the same run with 1 and 2 producers and as many consumers. Each figure
// is the best of several rounds, in values moved per second (one push plus
// one pop each). The last line repeats the figures as KEY=VALUE pairs.
//
// Usage: queue [values-per-round]

#include "kx2lfqueue.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

// The reference: the plainest correct queue with the same interface.
template <typename T>
class MutexQueue
{
public:
    void push(const T& value)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_values.push_back(value);
    }
    bool pop(T& value)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_values.empty())
            return false;
        value = m_values.front();
        m_values.pop_front();
        return true;
    }

private:
    std::mutex m_mutex;
    std::deque<T> m_values;
};

// Moves `total` values from `producers` threads to `consumers` threads and
// returns the values per second.
template <typename Queue>
double measure(int producers, int consumers, int total)
{
    Queue queue;
    std::atomic<bool> go{false};
    std::atomic<int> popped{0};
    std::atomic<long long> checksum{0};
    std::vector<std::thread> threads;
    const int perProducer = total / producers;
    for (int p = 0; p < producers; ++p) {
        threads.emplace_back([&, p] {
            while (!go.load())
                std::this_thread::yield();
            for (int i = 0; i < perProducer; ++i)
                queue.push(p * perProducer + i);
        });
    }
    const int expected = perProducer * producers;
    for (int c = 0; c < consumers; ++c) {
        threads.emplace_back([&] {
            while (!go.load())
                std::this_thread::yield();
            long long sum = 0;
            int value = 0;
            while (popped.load(std::memory_order_relaxed) < expected) {
                if (queue.pop(value)) {
                    sum += value;
                    popped.fetch_add(1, std::memory_order_relaxed);
                } else {
                    std::this_thread::yield();
                }
            }
            checksum.fetch_add(sum);
        });
    }
    const auto start = std::chrono::steady_clock::now();
    go.store(true);
    for (auto& thread : threads)
        thread.join();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const long long n = expected;
    if (checksum.load() != n * (n - 1) / 2) {
        std::fprintf(stderr, "checksum mismatch: values lost or duplicated\n");
        std::exit(1);
    }
    return expected / seconds;
}

template <typename Queue>
double best(int producers, int consumers, int total, int rounds)
{
    double result = 0;
    for (int r = 0; r < rounds; ++r)
        result = std::max(result, measure<Queue>(producers, consumers, total));
    return result;
}

} // namespace

int main(int argc, char** argv)
{
    const int total = argc > 1 ? std::atoi(argv[1]) : 2000000;
    const int rounds = 3;
    std::printf("values per round: %d, best of %d rounds, hardware threads: %u\n", total, rounds,
                std::thread::hardware_concurrency());
    std::string summary;
    for (int threads : {1, 2}) {
        const double lockFree = best<KX2LFQueue<int>>(threads, threads, total, rounds);
        const double locked = best<MutexQueue<int>>(threads, threads, total, rounds);
        const double ratio = lockFree / locked;
        std::printf("%dP/%dC  KX2LFQueue %10.0f values/s   mutex+deque %10.0f values/s   "
                    "ratio %.2f\n",
                    threads, threads, lockFree, locked, ratio);
        char pairs[160];
        std::snprintf(pairs, sizeof pairs, "%sLFQ_%dx%d=%.0f MUTEX_%dx%d=%.0f RATIO_%dx%d=%.3f",
                      summary.empty() ? "" : " ", threads, threads, lockFree, threads, threads,
                      locked, threads, threads, ratio);
        summary += pairs;
    }
    std::printf("%s\n", summary.c_str());
    return 0;
}
