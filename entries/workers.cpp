// Entry jobs run ahead on worker threads while the calling thread prepares
// and finishes every entry in table order, so that the report, the progress
// bar and the files come out as from one thread.
//
// Threads share nothing but the queue of jobs and each job's done flag: a job
// reads the archive by offset, decodes into memory of its own and writes into
// an unnamed file of its own; only the calling thread prints and places files.
#include "entries/entries.hpp"

#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <new>
#include <thread>


namespace {

// Jobs handed out ahead of the entry being finished: one large entry holds up
// the in-order report, and two workers kept busy behind it needed 6 to 16.
constexpr std::size_t max_ahead = 16;

// Memory the jobs in flight may take together, as estimated below: the largest
// image still runs, alone.
constexpr std::uint64_t memory_budget = 40ull << 20;

// What a job takes at its peak: its image, and the payload and inflation room
// of a one-call inflation (piece-by-piece inflation takes 2 MiB).
std::uint64_t job_memory(const extract_request& r)
{
    if (r.raw) return std::min<std::uint64_t>(r.payload_len, 1 << 20);
    const std::uint64_t pixels = std::min<std::uint64_t>(std::uint64_t{r.width} * r.height, max_image_pixels);
    if (r.type != 4) return pixels * 4;
    const std::uint64_t inflation = r.payload_len + inflate_room(r);
    return pixels * 4 + (inflation <= extract_whole_buffer_limit ? inflation : 2 << 20);
}

// Runs one job; running out of memory fails the entry, not the run.
void run_job(const output_root& root, entry_task& task)
{
    try {
        extract_entry(root, task.request, task.outcome);
    } catch (const std::bad_alloc&) {
        task.outcome.result = -1;
        task.outcome.file = output_file{};
        task.outcome.findings.assign(1, tex_finding{tex_finding_kind::no_memory});
    }
}

struct slot {
    entry_task task;
    std::uint64_t memory = 0;
    bool submitted = false;
    bool released = false;  // its memory no longer counted in flight
    bool done = false;      // guarded by the pool's lock
};

class worker_pool {
public:
    worker_pool(const output_root& root, unsigned workers) : root_(root)
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
            run_job(root_, s->task);
            {
                std::lock_guard<std::mutex> hold(lock_);
                s->done = true;
            }
            job_done_.notify_all();
        }
    }

    const output_root& root_;
    std::mutex lock_;
    std::condition_variable wake_workers_;
    std::condition_variable job_done_;
    std::deque<slot*> queue_;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace

int extract_workers_setting()
{
    const char* jobs = std::getenv("MORVEX_TEX_JOBS");
    if (!jobs) return 0;
    // Digits only: no sign, no spaces, nothing after, at most three of them.
    unsigned n = 0;
    std::size_t digits = 0;
    for (const char* c = jobs; *c; ++c, ++digits) {
        if (*c < '0' || *c > '9' || digits == 3) return -1;
        n = n * 10 + static_cast<unsigned>(*c - '0');
    }
    return digits > 0 && n >= 1 && n <= max_workers ? static_cast<int>(n) : -1;
}

unsigned extract_workers(bool raw)
{
    if (const int n = extract_workers_setting(); n > 0) return static_cast<unsigned>(n);
    // Raw mode copies bytes: workers measured dearer than one thread there
    // (their coordination costs more than the copies they share).
    if (raw) return 1;
    return usable_processors();
}

void run_entry_tasks(const output_root& root, std::uint32_t count, unsigned workers,
                     const std::function<void(std::uint32_t, entry_task&)>& prepare,
                     const std::function<void(entry_task&)>& finish)
{
    if (workers <= 1) {
        for (std::uint32_t i = 0; i < count; ++i) {
            entry_task task;
            task.index = i;
            prepare(i, task);
            if (task.run) run_job(root, task);
            finish(task);
        }
        return;
    }
    std::deque<std::unique_ptr<slot>> window;  // entries prepared and not yet finished, in order
    worker_pool pool(root, workers);          // after the window: joined before it goes
    std::uint64_t in_flight = 0;              // memory of the jobs submitted and not seen done
    std::uint32_t next = 0;

    // Jobs go out in table order, each when its memory fits beside what is
    // still running (or when nothing is); a job's memory is its own again
    // once it is done.
    const auto submit_what_fits = [&] {
        for (const auto& s : window) {
            if (s->submitted && !s->released && pool.done(*s)) {
                in_flight -= s->memory;
                s->released = true;
            }
        }
        for (const auto& s : window) {
            if (!s->task.run || s->submitted) continue;
            if (in_flight > 0 && in_flight + s->memory > memory_budget) return;
            in_flight += s->memory;
            pool.submit(*s);
        }
    };
    while (next < count || !window.empty()) {
        while (next < count && window.size() < max_ahead) {
            auto s = std::make_unique<slot>();
            s->task.index = next;
            prepare(next, s->task);
            if (s->task.run) s->memory = job_memory(s->task.request);
            window.push_back(std::move(s));
            ++next;
            submit_what_fits();
        }
        slot& head = *window.front();
        if (head.task.run) {
            if (!head.submitted) {
                // Everything ahead of it is done or waiting behind it: it runs now.
                in_flight += head.memory;
                pool.submit(head);
            }
            pool.wait_for(head);
            if (!head.released) in_flight -= head.memory;
        }
        finish(head.task);
        window.pop_front();
        submit_what_fits();
    }
}
