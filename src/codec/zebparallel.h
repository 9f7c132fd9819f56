// Running a few independent tasks on threads, for the encoder and the stream
// chooser.  Not part of the library's interface.
#ifndef ZEBPARALLEL_H
#define ZEBPARALLEL_H

#include <atomic>
#include <cstddef>
#include <cstdint>

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

// The library's threads: one pool for the whole process, started on first
// use and grown to at most one thread less than the cores the process may
// use (the caller of run_shares is the other), shared by every call.
// run_shares runs fn(context, 0) .. fn(context, shares - 1), each exactly
// once, on the calling thread and on pool threads that are free, and
// returns when all have run.  The caller takes every share no pool thread
// has taken, so a busy (or empty) pool only makes the call run on fewer
// threads, never wait for another call; calls from inside a share are
// therefore safe too.  Shares must not throw.
void run_shares(int shares, void (*fn)(void *context, int share), void *context);

// Threads the pool has started (for the tests).
int pool_threads();

// Called in the child after fork(): the pool's threads do not exist there,
// so the child starts a pool of its own when it first needs one.
void forget_pool_after_fork();

// Runs task(0) .. task(n - 1) on up to `threads` threads (the caller's among
// them) and returns when all have run.  Each thread takes the next task not
// yet taken, so a pool thread that comes late finds less to do instead of
// keeping the caller waiting; every task runs exactly once whatever the pool
// can give.  Tasks must not throw.
template <class Task> void run_tasks(int n, int threads, Task &&task)
{
    int t = threads < n ? threads : n;
    t = t < 1 ? 1 : t > kMaxThreads ? kMaxThreads : t;
    struct Share {
        Task &task;
        int n;
        std::atomic<int> next{0};
        static void run(void *self, int)
        {
            Share &s = *static_cast<Share *>(self);
            for (int k; (k = s.next.fetch_add(1, std::memory_order_relaxed)) < s.n;)
                s.task(k);
        }
    } share{task, n};
    if (t == 1)
        Share::run(&share, 0);
    else
        run_shares(t, &Share::run, &share);
}

}  // namespace zeb::detail

#endif
