#include "parallel.h"

#include <tbb/blocked_range.h>
#include <tbb/global_control.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

namespace qorel::parallel {

void for_each(std::size_t begin, std::size_t end, const std::function<void(std::size_t)>& fn) {
    if (begin >= end) return;
    if (end - begin == 1) {
        fn(begin);
        return;
    }
    tbb::parallel_for(tbb::blocked_range<std::size_t>(begin, end), [&](const tbb::blocked_range<std::size_t>& r) {
        for (std::size_t i = r.begin(); i != r.end(); ++i) fn(i);
    });
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
