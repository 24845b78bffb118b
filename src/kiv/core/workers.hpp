// Work shared between threads that live only as long as one call: started
// in it, joined before it returns, so none outlives a call and fork stays
// safe.
#pragma once

#include <atomic>
#include <cstddef>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace kiv {

// Runs body(task, worker, stop) for every task in [0, count), each once, on
// up to `workers` threads, the calling one among them (worker 0, the others
// 1 and up, so that each can keep scratch of its own); tasks go to whichever
// thread is free next, in index order. The first exception stops the
// others: no task starts after it, and bodies should look at `stop` between
// their own steps. It is rethrown here once every thread has been joined.
// Threads that cannot be started leave their share to the others.
template <class Body>
void run_tasks(std::size_t count, std::size_t workers, Body&& body) {
    std::atomic<std::size_t> next{0};
    std::atomic<bool> stop{false};
    std::exception_ptr failure;
    std::mutex failure_lock;
    const auto work = [&](std::size_t worker) noexcept {
        for (;;) {
            if (stop.load(std::memory_order_relaxed)) return;
            const std::size_t task = next.fetch_add(1, std::memory_order_relaxed);
            if (task >= count) return;
            try {
                body(task, worker, static_cast<const std::atomic<bool>&>(stop));
            } catch (...) {
                const std::lock_guard<std::mutex> hold(failure_lock);
                if (!failure) failure = std::current_exception();
                stop.store(true, std::memory_order_relaxed);
                return;
            }
        }
    };
    if (workers > count) workers = count;
    // Joined on every way out, an exception from starting one among them.
    struct Joined {
        std::vector<std::thread> threads;
        ~Joined() {
            for (std::thread& t : threads) t.join();
        }
    } helpers;
    if (workers > 1) {
        try {
            helpers.threads.reserve(workers - 1);
            for (std::size_t k = 1; k < workers; ++k) helpers.threads.emplace_back(work, k);
        } catch (const std::system_error&) {  // no more threads to be had: fewer do it
        } catch (const std::bad_alloc&) {
        }
    }
    work(0);
    for (std::thread& t : helpers.threads) t.join();
    helpers.threads.clear();
    if (failure) std::rethrow_exception(failure);
}

}  // namespace kiv
