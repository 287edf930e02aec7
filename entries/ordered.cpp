// Ordered jobs (entries/ordered.hpp): a pool of worker threads, and the window
// of open indices, whose jobs go out in order within the memory budget.
#include "entries/ordered.hpp"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

struct slot {
    std::uint32_t index = 0;
    ordered_job plan;
    std::uint64_t kept = 0;   // what its job keeps; written by the worker before `done`
    bool submitted = false;
    bool seen_done = false;   // its estimate no longer counted in flight, its kept bytes instead
    bool done = false;        // guarded by the pool's lock
};

class worker_pool {
public:
    worker_pool(const std::function<std::uint64_t(std::uint32_t)>& job, unsigned workers) : job_(job)
    {
        for (unsigned k = 0; k < workers; ++k) threads_.emplace_back([this] { work(); });
    }
    ~worker_pool()
    {
        {
            std::lock_guard<std::mutex> hold(lock_);
            stopping_ = true;
        }
        wake_workers_.notify_all();
        for (std::thread& t : threads_) t.join();
    }
    worker_pool(const worker_pool&) = delete;
    worker_pool& operator=(const worker_pool&) = delete;

    void submit(slot& s)
    {
        {
            std::lock_guard<std::mutex> hold(lock_);
            queue_.push_back(&s);
        }
        s.submitted = true;
        wake_workers_.notify_one();
    }

    bool done(const slot& s)
    {
        std::lock_guard<std::mutex> hold(lock_);
        return s.done;
    }

    void wait_for(const slot& s)
    {
        std::unique_lock<std::mutex> hold(lock_);
        job_done_.wait(hold, [&] { return s.done; });
    }

    // Waits until `s` is done or more jobs than `seen` are; the jobs done so far.
    std::uint64_t wait_for_any(const slot& s, std::uint64_t seen)
    {
        std::unique_lock<std::mutex> hold(lock_);
        job_done_.wait(hold, [&] { return s.done || done_count_ != seen; });
        return done_count_;
    }

private:
    void work()
    {
        for (;;) {
            slot* s = nullptr;
            {
                std::unique_lock<std::mutex> hold(lock_);
                wake_workers_.wait(hold, [&] { return stopping_ || !queue_.empty(); });
                if (stopping_) return;
                s = queue_.front();
                queue_.pop_front();
            }
            s->kept = job_(s->index);
            {
                std::lock_guard<std::mutex> hold(lock_);
                s->done = true;
                ++done_count_;
            }
            job_done_.notify_all();
        }
    }

    const std::function<std::uint64_t(std::uint32_t)>& job_;
    std::mutex lock_;
    std::condition_variable wake_workers_;
    std::condition_variable job_done_;
    std::deque<slot*> queue_;
    std::uint64_t done_count_ = 0;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace

bool run_ordered_jobs(std::uint32_t count, const ordered_options& options,
                      const std::function<ordered_job(std::uint32_t)>& prepare,
                      const std::function<std::uint64_t(std::uint32_t)>& job,
                      const std::function<void(std::uint32_t)>& finish)
{
    bool stopped = false;
    std::uint32_t next = 0;
    // Asked once an index, before it is prepared.
    std::uint32_t asked_for = UINT32_MAX;
    const auto stopping = [&] {
        if (stopped || !options.stop || asked_for == next) return stopped;
        asked_for = next;
        return stopped = options.stop();
    };
    if (options.workers <= 1) {
        for (; next < count && !stopping(); ++next) {
            if (prepare(next).run) job(next);
            finish(next);
        }
        return stopped;
    }
    std::deque<std::unique_ptr<slot>> window;  // indices prepared and not yet finished, in order
    worker_pool pool(job, options.workers);   // after the window: joined before it goes
    std::uint64_t in_flight = 0;              // estimates of the jobs out, and what done ones keep

    // A job seen done: what it keeps stands for its estimate until its finish.
    const auto count_done = [&](slot& s) {
        in_flight = in_flight - s.plan.memory + s.kept;
        s.seen_done = true;
    };
    // Jobs go out in order, each when its memory fits beside what is in
    // flight (or when nothing is).
    const auto submit_what_fits = [&] {
        if (stopped) return;
        unsigned running = 0;
        for (const auto& s : window) {
            if (!s->submitted || s->seen_done) continue;
            if (pool.done(*s)) {
                count_done(*s);
            } else {
                ++running;
            }
        }
        for (const auto& s : window) {
            if (!s->plan.run || s->submitted) continue;
            if (options.results_kept && running >= options.workers) return;
            if (in_flight > 0 && in_flight + s->plan.memory > options.memory_budget) return;
            in_flight += s->plan.memory;
            pool.submit(*s);
            ++running;
        }
    };
    while (next < count || !window.empty()) {
        if (next < count && stopping()) {
            // What is out is finished; the first job not yet out, and every
            // index after it, is dropped.
            const auto out = std::find_if(window.begin(), window.end(), [](const auto& s) { return s->plan.run && !s->submitted; });
            window.erase(out, window.end());
            next = count;
            if (window.empty()) break;
        }
        while (next < count && window.size() < ordered_window && !stopping()) {
            auto s = std::make_unique<slot>();
            s->index = next;
            s->plan = prepare(next);
            window.push_back(std::move(s));
            ++next;
            submit_what_fits();
        }
        slot& head = *window.front();
        if (head.plan.run) {
            if (!head.submitted) {
                // Everything ahead of it is done or waiting behind it: it runs now.
                in_flight += head.plan.memory;
                pool.submit(head);
            }
            if (options.results_kept) {
                // Workers that another job freed take the next jobs meanwhile.
                for (std::uint64_t seen = 0; !pool.done(head);) {
                    seen = pool.wait_for_any(head, seen);
                    submit_what_fits();
                }
            } else {
                pool.wait_for(head);
            }
            if (!head.seen_done) count_done(head);
        }
        finish(head.index);
        in_flight -= head.kept;
        window.pop_front();
        submit_what_fits();
    }
    return stopped;
}
