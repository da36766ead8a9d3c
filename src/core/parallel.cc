#include "parallel.h"

#include <tbb/blocked_range.h>
#include <tbb/global_control.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

#include <algorithm>
#include <atomic>

#ifdef QOREL_POOL_PLAIN_THREADS
#include <thread>
#include <vector>
#endif

namespace qorel::parallel {

void for_each(std::size_t begin, std::size_t end, const std::function<void(std::size_t)>& fn) {
    if (begin >= end) return;
    if (end - begin == 1) {
        fn(begin);
        return;
    }
#ifdef QOREL_POOL_PLAIN_THREADS
    // The ThreadSanitizer build: the pool library is prebuilt without instrumentation, so the
    // checker cannot see how it hands work between threads and would report every handoff.
    // Plain threads, whose start and join it understands, run the same calls just as
    // concurrently (at least two, so that the checks always see more than one thread).
    std::atomic<std::size_t> next{begin};
    auto work = [&] {
        for (std::size_t i; (i = next.fetch_add(1, std::memory_order_relaxed)) < end;) fn(i);
    };
    const std::size_t helpers = std::min(end - begin, std::max<std::size_t>(2, max_threads())) - 1;
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < helpers; ++t) threads.emplace_back(work);
    work();
    for (std::thread& t : threads) t.join();
#else
    tbb::parallel_for(tbb::blocked_range<std::size_t>(begin, end), [&](const tbb::blocked_range<std::size_t>& r) {
        for (std::size_t i = r.begin(); i != r.end(); ++i) fn(i);
    });
#endif
}

void for_each_in_order(std::size_t begin, std::size_t end, const std::function<void(std::size_t)>& fn) {
    if (begin >= end) return;
    // Small steps keep the order close to that of i; each step is one atomic increment, far
    // cheaper than the calls it hands out.
    constexpr std::size_t kStep = 4;
    std::atomic<std::size_t> next{begin};
    auto drain = [&] {
        for (std::size_t i; (i = next.fetch_add(kStep, std::memory_order_relaxed)) < end;)
            for (const std::size_t stop = std::min(end, i + kStep); i < stop; ++i) fn(i);
    };
    const std::size_t workers = std::min((end - begin + kStep - 1) / kStep, std::max<std::size_t>(1, max_threads()));
#ifdef QOREL_POOL_PLAIN_THREADS
    std::vector<std::thread> threads;
    for (std::size_t t = 1; t < std::max<std::size_t>(2, workers); ++t) threads.emplace_back(drain);
    drain();
    for (std::thread& t : threads) t.join();
#else
    // One task per thread, each draining the shared counter: a task that starts late (its
    // thread busy elsewhere) finds less or nothing left, so no index waits for it.
    tbb::parallel_for(std::size_t{0}, workers, [&](std::size_t) { drain(); });
#endif
}

std::size_t max_threads() {
    return tbb::global_control::active_value(tbb::global_control::max_allowed_parallelism);
}

struct ThreadLimit::Impl {
    tbb::global_control control;
    explicit Impl(std::size_t n) : control(tbb::global_control::max_allowed_parallelism, n) {}
};

ThreadLimit::ThreadLimit(std::size_t threads) : impl_(std::make_unique<Impl>(threads)) {}
ThreadLimit::~ThreadLimit() = default;

}  // namespace qorel::parallel
