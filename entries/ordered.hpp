// Ordered jobs: the engine under every walk and under the packer. Jobs are
// prepared in order on the calling thread, run ahead on worker threads, and
// finished in order on the calling thread, so that reports, progress and the
// files or archive entries written come out as from one thread, whatever the
// number of workers. Threads share nothing but the queue and each job's done
// flag: a job touches only its own index's state.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

// Jobs prepared and not yet finished, at most: one large job holds up the
// in-order finishing, and two workers kept busy behind it needed 6 to 16.
inline constexpr std::uint32_t ordered_window = 16;

// What prepare says of an index.
struct ordered_job {
    bool run = false;          // a job runs for it on a worker
    std::uint64_t memory = 0;  // the most its job takes while it runs, as far as is known before
};

struct ordered_options {
    unsigned workers = 1;  // threads (1: each job on the calling thread, between its prepare and finish)
    // Memory the jobs running and the results waiting may take together, as
    // estimated and reported: past it, no job is handed out until one is
    // finished (the first one in order always runs, alone if need be).
    std::uint64_t memory_budget = 40ull << 20;
    // Jobs that keep their result in memory until it is finished (payloads
    // waiting for their turn to be written): each job returns the bytes it
    // keeps, counted until its finish; and no more jobs are handed out than
    // there are workers to run them, since what a job keeps is known only
    // once it is done. So at most one job's peak per worker comes on top of
    // the budget.
    bool results_kept = false;
    // Asked on the calling thread before each index is prepared: true ends
    // the run there. Jobs already out are waited for and finished; indices
    // prepared whose jobs were not yet out are dropped, unfinished.
    std::function<bool()> stop;
};

// Calls prepare(i) for i = 0 .. count - 1 in order; runs job(i) for those it
// says run, on one of the workers; calls finish(i) in order. job returns the
// bytes it keeps for finish (0 when nothing). job must not throw. Between
// prepare(i) and finish(i), at most ordered_window indices are open, so a
// caller keeps each one's state in ordered_slots. True when `stop` ended the
// run early.
bool run_ordered_jobs(std::uint32_t count, const ordered_options& options,
                      const std::function<ordered_job(std::uint32_t)>& prepare,
                      const std::function<std::uint64_t(std::uint32_t)>& job,
                      const std::function<void(std::uint32_t)>& finish);

// The caller's state of the open indices: index i in slot i % ordered_window,
// which no other open index shares. A slot is the caller's to reset in prepare
// (and to empty in finish, so that it holds nothing until it is used again).
template <typename T>
struct ordered_slots {
    std::vector<T> slots = std::vector<T>(ordered_window);
    T& operator[](std::uint32_t index) { return slots[index % ordered_window]; }
};
