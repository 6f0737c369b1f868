// SPDX-License-Identifier: MIT
// A process-wide pool of helper threads for work that splits into independent
// pieces, such as the stripes of a large JPEG frame.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace kiv {

class WorkPool {
public:
    // One helper per core beyond the first, created on first use and kept for
    // the life of the process (never destroyed: encoders and decoders living in
    // static objects may still use it while other statics go away).
    static WorkPool &shared();

    explicit WorkPool(unsigned helpers);
    ~WorkPool();
    WorkPool(const WorkPool &) = delete;
    WorkPool &operator=(const WorkPool &) = delete;

    unsigned helpers() const { return unsigned(threads_.size()); }

    // Calls task(i) for every i in 0..count-1 and returns when all have
    // returned. The calling thread takes pieces too, so it never waits idle
    // and a pool without helpers still works. Any thread may call it, also
    // several at once; tasks must not throw.
    void run(size_t count, const std::function<void(size_t)> &task);

private:
    struct Job;
    void helperLoop(std::stop_token stop);
    static void work(Job &job);

    std::mutex mutex_;
    std::condition_variable_any ready_;
    std::deque<Job *> jobs_; // jobs with pieces nobody took yet
    std::vector<std::jthread> threads_;
};

} // namespace kiv
