// The library's pool of threads (see zebparallel.h).
//
// Work is posted as a job of numbered shares.  Pool threads and the caller
// take shares one at a time under the pool's lock, so each runs exactly
// once; the caller then waits only for shares that pool threads have taken
// and are running.  The pool is never destroyed (its threads wait for work
// until the process ends), and a child process made by fork() drops the
// parent's pool without touching it: its lock may have been held by a thread
// that does not exist in the child.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>

#include "zebparallel.h"

namespace zeb::detail {

namespace {

struct Job {
    Job(void (*f)(void *, int), void *c, int n) : fn(f), context(c), shares(n) {}
    void (*fn)(void *, int);
    void *context;
    int shares;
    int taken = 0;           // shares handed out (under the pool's lock)
    Job *next_job = nullptr;  // in the pool's queue
    std::mutex m;
    std::condition_variable finished;
    int done = 0;  // shares run (under m)
};

class Pool {
public:
    // Starts pool threads until there are `want` (or the system refuses).
    void grow(int want)
    {
        std::lock_guard<std::mutex> lock(m_);
        while (threads_ < want) {
            try {
                std::thread(&Pool::serve, this).detach();
            } catch (...) {
                return;
            }
            ++threads_;
        }
    }

    void run(Job &job)
    {
        {
            std::lock_guard<std::mutex> lock(m_);
            (tail_ ? tail_->next_job : head_) = &job;
            tail_ = &job;
        }
        for (int i = 1; i < job.shares; ++i)
            work_.notify_one();
        for (;;) {
            int w;
            {
                std::lock_guard<std::mutex> lock(m_);
                if (job.taken == job.shares)
                    break;
                w = take(job);
            }
            run_share(job, w);
        }
        std::unique_lock<std::mutex> lock(job.m);
        job.finished.wait(lock, [&job] { return job.done == job.shares; });
    }

    int threads()
    {
        std::lock_guard<std::mutex> lock(m_);
        return threads_;
    }

private:
    // The next share of job, which is in the queue; the last one taken
    // leaves the queue.  Under m_.
    int take(Job &job)
    {
        const int w = job.taken++;
        if (job.taken == job.shares) {
            Job *before = nullptr;
            for (Job *j = head_; j != &job; j = j->next_job)
                before = j;
            (before ? before->next_job : head_) = job.next_job;
            if (tail_ == &job)
                tail_ = before;
        }
        return w;
    }

    static void run_share(Job &job, int w)
    {
        job.fn(job.context, w);
        // Notified under the job's lock: once the caller sees the last share
        // done it may end the job, and nothing here touches it after that.
        std::lock_guard<std::mutex> lock(job.m);
        if (++job.done == job.shares)
            job.finished.notify_one();
    }

    void serve()
    {
        std::unique_lock<std::mutex> lock(m_);
        for (;;) {
            work_.wait(lock, [this] { return head_ != nullptr; });
            Job &job = *head_;
            const int w = take(job);
            lock.unlock();
            run_share(job, w);
            lock.lock();
        }
    }

    std::mutex m_;
    std::condition_variable work_;
    Job *head_ = nullptr, *tail_ = nullptr;
    int threads_ = 0;
};

std::atomic<Pool *> the_pool{nullptr};

Pool *pool()
{
    Pool *p = the_pool.load(std::memory_order_acquire);
    if (p)
        return p;
    Pool *made = new (std::nothrow) Pool;
    if (!made)
        return nullptr;
    if (the_pool.compare_exchange_strong(p, made, std::memory_order_acq_rel))
        return made;
    delete made;  // another thread's came first
    return p;
}

}  // namespace

void run_shares(int shares, void (*fn)(void *, int), void *context)
{
    Pool *p = shares > 1 ? pool() : nullptr;
    if (!p) {
        for (int w = 0; w < shares; ++w)
            fn(context, w);
        return;
    }
    p->grow(std::min(available_cores(), kMaxThreads) - 1);
    Job job(fn, context, shares);
    p->run(job);
}

int pool_threads()
{
    Pool *p = the_pool.load(std::memory_order_acquire);
    return p ? p->threads() : 0;
}

void forget_pool_after_fork()
{
    the_pool.store(nullptr, std::memory_order_relaxed);  // the parent's, left as it is
}

}  // namespace zeb::detail
