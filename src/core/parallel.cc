#include "parallel.h"

#include <tbb/blocked_range.h>
#include <tbb/global_control.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

#ifdef QOREL_POOL_PLAIN_THREADS
#include <algorithm>
#include <atomic>
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
