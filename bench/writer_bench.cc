// Throughput of concurrent writers on one database: T threads upsert and update ids drawn from
// a shared pool (so they collide), while R more threads read them back with get(). Reports
// write and read operations per second over the whole run; the log goes to a temporary
// directory. Compare builds in one sitting: absolute numbers depend on the machine's load, and
// on a machine with few cores a busy reader takes processor time from the writers.
//
//   writer_bench [threads] [ops per thread] [dim] [readers]     (defaults 4, 20000, 64, 1)
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "db/database.h"

int main(int argc, char** argv) {
    const int threads = argc > 1 ? std::atoi(argv[1]) : 4;
    const int ops = argc > 2 ? std::atoi(argv[2]) : 20000;
    const std::uint64_t dim = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 64;
    const int readers = argc > 4 ? std::atoi(argv[4]) : 1;
    char tmpl[] = "/tmp/qorel_writer_bench_XXXXXX";
    if (!::mkdtemp(tmpl)) return 1;
    const std::string dir = std::string(tmpl) + "/db";

    qorel::DatabaseConfig config;
    config.dim = dim;
    auto db = qorel::Database::open_or_create(dir, config);
    const int pool = 1000;
    std::vector<std::string> ids;
    qorel::RowBlock seed;
    for (int i = 0; i < pool; ++i) {
        ids.push_back("id" + std::to_string(i));
        seed.add(std::vector<float>(dim, float(i)));
    }
    db->add_many(ids, std::move(seed), {});

    std::atomic<bool> stop{false};
    std::atomic<long> reads{0};
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> reader_threads;
    for (int r = 0; r < readers; ++r) {
        reader_threads.emplace_back([&, r] {
            std::mt19937 rng(99 + r);
            long n = 0;
            while (!stop.load(std::memory_order_relaxed)) {
                db->get(ids[rng() % pool]);
                ++n;
            }
            reads += n;
        });
    }
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; ++t) {
        writers.emplace_back([&, t] {
            std::mt19937 rng(t);
            std::vector<float> v(dim);
            for (int k = 0; k < ops; ++k) {
                for (auto& x : v) x = float(rng() % 1000) / 1000.0f;
                const std::string& id = ids[rng() % pool];
                if (k % 4 == 3)
                    db->update(id, std::nullopt, qorel::Json{{"k", k}});
                else
                    db->upsert(id, v, qorel::Json{{"t", t}});
            }
        });
    }
    for (auto& w : writers) w.join();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    stop = true;
    for (auto& r : reader_threads) r.join();
    std::printf("threads=%d ops=%d dim=%llu  writes/s=%.0f  reads/s=%.0f\n", threads, ops,
                static_cast<unsigned long long>(dim), threads * ops / seconds, reads.load() / seconds);
    db.reset();
    std::filesystem::remove_all(tmpl);
    return 0;
}
