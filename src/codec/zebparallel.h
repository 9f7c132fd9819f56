// Running a few independent tasks on threads, for the encoder and the stream
// chooser.  Not part of the library's interface.
#ifndef ZEBPARALLEL_H
#define ZEBPARALLEL_H

#include <cstddef>
#include <cstdint>
#include <thread>

namespace zeb::detail {

// The coders are pure computation; what they want of the operating system
// (how many processors this process may use, huge pages for large buffers)
// the file layer's platform code installs here when the library loads.
// Without it, the standard library's processor count and no advice.
void install_system_hooks(int (*core_count)(), void (*advise_huge_pages)(void *, std::size_t));

// Cores this process may run on, at least 1.
int available_cores();

// Advises the system to back a large buffer with huge pages.
void advise_huge_pages(void *p, std::size_t n);

// Requested threads: 0 (or below) means one per available core; capped.
int resolve_threads(int32_t threads);

// Bytes of array data below which work stays on one thread, because starting
// threads would cost more than it saves.  The environment variable
// ZEB_PARALLEL_MIN_BYTES (a decimal byte count, read once) overrides it; the
// tests set it to 0 so that small arrays take the threaded paths too.
int64_t parallel_min_bytes();

// Bytes of array data per piece of zeb_encode_to (512 KiB); the environment
// variable ZEB_STREAM_PIECE_BYTES (read once) overrides it, so that the
// tests cut small arrays into many pieces.
int64_t stream_piece_bytes();

constexpr int kMaxThreads = 64;

// Runs task(0) .. task(n - 1) on up to `threads` threads (the caller's among
// them) and returns when all have run.  A thread that cannot be started
// leaves its tasks to the caller, so every task runs exactly once whatever
// happens; tasks must not throw.
template <class Task> void run_tasks(int n, int threads, Task &&task)
{
    int t = threads < n ? threads : n;
    t = t < 1 ? 1 : t > kMaxThreads ? kMaxThreads : t;
    auto share = [&task, n, t](int w) {
        for (int k = w; k < n; k += t)
            task(k);
    };
    std::thread workers[kMaxThreads];
    for (int w = 1; w < t; ++w) {
        try {
            workers[w] = std::thread(share, w);
        } catch (...) {
            // not started: its share runs on this thread below
        }
    }
    share(0);
    for (int w = 1; w < t; ++w) {
        if (workers[w].joinable())
            workers[w].join();
        else
            share(w);
    }
}

}  // namespace zeb::detail

#endif
