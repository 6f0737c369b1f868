// SPDX-License-Identifier: MIT
#include "work_pool.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>

namespace kiv {

struct WorkPool::Job {
    const std::function<void(size_t)> *task;
    size_t count;
    std::atomic<size_t> next{0};
    std::atomic<size_t> done{0};
    std::atomic<int> helpersIn{0}; // helpers that may still touch the job
    std::mutex mutex;
    std::condition_variable finished;
};

WorkPool &WorkPool::shared() {
    static WorkPool *pool = new WorkPool(std::max(1u, std::thread::hardware_concurrency()) - 1);
    return *pool;
}

WorkPool::WorkPool(unsigned helpers) {
    threads_.reserve(helpers);
    for (unsigned i = 0; i < helpers; ++i)
        threads_.emplace_back([this](std::stop_token stop) { helperLoop(stop); });
}

WorkPool::~WorkPool() {
    for (auto &t : threads_) t.request_stop();
    threads_.clear(); // joins
}

// Takes pieces of `job` until none is left; the last one to finish wakes the owner.
void WorkPool::work(Job &job) {
    for (size_t i; (i = job.next.fetch_add(1)) < job.count;) {
        (*job.task)(i);
        if (job.done.fetch_add(1) + 1 == job.count) {
            std::lock_guard lock(job.mutex);
            job.finished.notify_all();
        }
    }
}

void WorkPool::helperLoop(std::stop_token stop) {
    while (true) {
        Job *job;
        {
            std::unique_lock lock(mutex_);
            if (!ready_.wait(lock, stop, [&] { return !jobs_.empty(); })) return;
            job = jobs_.front();
            if (job->next.load() >= job->count) { // every piece handed out
                jobs_.pop_front();
                continue;
            }
            ++job->helpersIn;
        }
        work(*job);
        std::lock_guard lock(job->mutex);
        --job->helpersIn;
        job->finished.notify_all();
    }
}

void WorkPool::run(size_t count, const std::function<void(size_t)> &task) {
    if (count == 0) return;
    Job job;
    job.task = &task;
    job.count = count;
    if (count > 1 && !threads_.empty()) {
        {
            std::lock_guard lock(mutex_);
            jobs_.push_back(&job);
        }
        ready_.notify_all();
    }
    work(job);
    {
        std::lock_guard lock(mutex_); // from here on no helper can join
        std::erase(jobs_, &job);
    }
    std::unique_lock lock(job.mutex);
    // Pieces still running are on helpers and finish; the timeout only re-checks.
    while (job.done.load() < count || job.helpersIn.load() > 0) job.finished.wait_for(lock, std::chrono::milliseconds(100));
}

} // namespace kiv
