// The process-wide worker pool, behind two small functions so that nothing else in the engine
// depends on the pool library. The pool has one thread per available processor.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>

namespace qorel::parallel {

// Calls fn(i) for every i in [begin, end) on the pool, splitting the range adaptively; returns
// when all calls are done. The calling thread takes part. fn must not throw.
void for_each(std::size_t begin, std::size_t end, const std::function<void(std::size_t)>& fn);

// Calls fn(i) for every i in [begin, end) on the pool, each thread taking the next few indices
// in order until none are left: the calls start in about the order of i, and the threads finish
// together however unequal the calls are. The calling thread takes part. fn must not throw.
void for_each_in_order(std::size_t begin, std::size_t end, const std::function<void(std::size_t)>& fn);

// Number of threads the pool runs at most (the processor count unless limited below).
std::size_t max_threads();

// Limits the pool to `threads` threads while alive (benchmarks compare 1 and 2 threads).
class ThreadLimit {
public:
    explicit ThreadLimit(std::size_t threads);
    ~ThreadLimit();
    ThreadLimit(const ThreadLimit&) = delete;
    ThreadLimit& operator=(const ThreadLimit&) = delete;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace qorel::parallel
