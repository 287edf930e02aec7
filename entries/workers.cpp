// Entry jobs run ahead on worker threads while the calling thread prepares
// and finishes every entry in table order (entries/ordered.hpp), so that the
// report, the progress bar and the files come out as from one thread.
//
// A job reads the archive by offset, decodes into memory of its own and
// writes into an unnamed file of its own; only the calling thread prints and
// places files.
#include "entries/entries.hpp"
#include "entries/ordered.hpp"
#include "entries/walk.hpp"

#include <algorithm>
#include <cstdlib>
#include <new>


namespace {

// Memory the jobs in flight may take together, as estimated below: the largest
// image still runs, alone.
constexpr std::uint64_t memory_budget = 40ull << 20;

}  // namespace

// What a job takes at its peak: its image, and the payload and inflation room
// of a one-call inflation (piece-by-piece inflation takes 2 MiB).
std::uint64_t entry_job_memory(const extract_request& r)
{
    if (r.raw) return std::min<std::uint64_t>(r.payload_len, 1 << 20);
    const std::uint64_t pixels = std::min<std::uint64_t>(std::uint64_t{r.width} * r.height, max_image_pixels);
    if (r.type != 4) return pixels * 4;
    const std::uint64_t inflation = r.payload_len + inflate_room(r);
    return pixels * 4 + (inflation <= r.whole_buffer_limit ? inflation : 2 << 20);
}

// Runs one job; running out of memory fails the entry, not the run.
void run_entry_job(const output_root& root, entry_task& task)
{
    try {
        extract_entry(root, task.request, task.outcome);
    } catch (const std::bad_alloc&) {
        task.outcome.result = -1;
        task.outcome.file = output_file{};
        task.outcome.findings.assign(1, tex_finding{tex_finding_kind::no_memory});
    }
}

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

bool run_entry_tasks(const output_root& root, std::uint32_t count, unsigned workers, const std::function<bool()>& stop,
                     const std::function<void(std::uint32_t, entry_task&)>& prepare,
                     const std::function<void(entry_task&)>& finish)
{
    ordered_slots<entry_task> tasks;
    ordered_options options;
    options.workers = workers;
    options.memory_budget = memory_budget;
    options.stop = stop;
    return run_ordered_jobs(
        count, options,
        [&](std::uint32_t i) {
            entry_task& task = tasks[i];
            task = entry_task{};
            task.index = i;
            prepare(i, task);
            return ordered_job{task.run, task.run ? entry_job_memory(task.request) : 0};
        },
        [&](std::uint32_t i) -> std::uint64_t {
            run_entry_job(root, tasks[i]);
            return 0;
        },
        [&](std::uint32_t i) {
            finish(tasks[i]);
            tasks[i] = entry_task{};  // its file and pixels go now, not when the slot is next used
        });
}
