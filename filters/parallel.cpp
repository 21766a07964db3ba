#include "filters/parallel.h"

#include <QThread>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace nocta {

namespace {

std::atomic<int> requestedThreads{0};

constexpr int BandsPerThread = 8;
// A band takes at most this share of the rows left per thread.
constexpr int ShareOfLeft = 2;

} // namespace

// One parallelRows call (or one BackgroundWork): its bands, handed out one
// at a time to the caller and to the helpers that join it.
struct detail::ParallelJob
{
    const std::function<void(int begin, int end)> *work = nullptr;
    std::vector<int> bounds;   // band b is rows bounds[b] .. bounds[b + 1] - 1
    int bands = 0;
    std::atomic<int> next{0};
    int helpers = 0;                 // helpers inside runBands; guarded by the pool's lock
    std::mutex failureLock;
    std::exception_ptr failure;

    void runBands()
    {
        // A band that throws (out of memory) stops the hand-out; the first
        // exception reaches the caller once every thread is done.
        try {
            for (int band; (band = next.fetch_add(1)) < bands;)
                (*work)(bounds[std::size_t(band)], bounds[std::size_t(band) + 1]);
        } catch (...) {
            next = bands;
            const std::lock_guard<std::mutex> lock(failureLock);
            if (!failure)
                failure = std::current_exception();
        }
    }

    // Bands that shrink as the rows run out: each takes a share of the
    // rows left, down to a least size, so that the threads' last bands are
    // short and none waits long for another's at the end, while the
    // number of bands (and what a band costs beyond its rows) stays small.
    void plan(int rows, int threads)
    {
        const int least = std::max(1, rows / (threads * BandsPerThread * 2));
        bounds.assign(1, 0);
        const int parts = ShareOfLeft * threads;
        for (int at = 0; at < rows;) {
            at = std::min(rows, at + std::max(least, (rows - at + parts - 1) / parts));
            bounds.push_back(at);
        }
        bands = int(bounds.size()) - 1;
    }
};

namespace {

using Job = detail::ParallelJob;

// Helper threads that sleep until a call hands them a job. The caller of
// parallelRows works through the bands too, so a call finishes even when
// no helper thread could be started (a process or memory limit): the
// threads that exist share the work, and a thread that cannot be created
// is simply missing, not waited for.
class HelperPool
{
public:
    // Runs the job on the calling thread and up to wanted helpers.
    void run(Job &job, int wanted)
    {
        post(job, wanted);
        finish(job);
    }

    // Hands the job to up to wanted helpers.
    void post(Job &job, int wanted)
    {
        {
            std::unique_lock<std::mutex> lock(m_lock);
            grow(wanted);
            for (int i = 0; i < std::min(wanted, m_threads); ++i)
                m_queue.push_back(&job);
        }
        m_wake.notify_all();
    }

    // Works through what is left of the job on the calling thread, then
    // withdraws the tickets not yet picked up and waits for the helpers
    // that joined.
    void finish(Job &job)
    {
        job.runBands();
        std::unique_lock<std::mutex> lock(m_lock);
        m_queue.erase(std::remove(m_queue.begin(), m_queue.end(), &job), m_queue.end());
        m_left.wait(lock, [&] { return job.helpers == 0; });
    }

private:
    // Starts helper threads up to wanted; stops at the first that the
    // system refuses (and tries again on a later call).
    void grow(int wanted)
    {
        while (m_threads < wanted) {
            try {
                std::thread(&HelperPool::serve, this).detach();
            } catch (const std::system_error &) {
                return;
            }
            ++m_threads;
        }
    }

    void serve()
    {
        std::unique_lock<std::mutex> lock(m_lock);
        while (true) {
            m_wake.wait(lock, [&] { return !m_queue.empty(); });
            Job *job = m_queue.front();
            m_queue.pop_front();
            ++job->helpers;
            lock.unlock();
            job->runBands();
            lock.lock();
            if (--job->helpers == 0)
                m_left.notify_all();
        }
    }

    std::mutex m_lock;
    std::condition_variable m_wake;
    std::condition_variable m_left;
    std::deque<Job *> m_queue;
    int m_threads = 0;
};

HelperPool &pool()
{
    // Leaked on purpose: its threads must outlive every static destructor
    // that might still run a filter.
    static HelperPool *helpers = new HelperPool;
    return *helpers;
}

} // namespace

void setFilterThreads(int threads)
{
    requestedThreads = threads > 0 ? threads : 0;
}

int filterThreads()
{
    const int n = requestedThreads;
    return n > 0 ? n : std::max(1, QThread::idealThreadCount());
}

void parallelRows(int rows, const std::function<void(int begin, int end)> &work)
{
    if (rows <= 0)
        return;
    const int threads = std::min(filterThreads(), rows);
    if (threads <= 1) {
        work(0, rows);
        return;
    }
    Job job;
    job.work = &work;
    job.plan(rows, threads);
    pool().run(job, threads - 1);
    if (job.failure)
        std::rethrow_exception(job.failure);
}

BackgroundWork::BackgroundWork(std::function<void()> work) : m_work(std::move(work)), m_job(new Job)
{
    m_band = [this](int, int) { m_work(); };
    m_job->work = &m_band;
    m_job->plan(1, 1);
    if (filterThreads() > 1)
        pool().post(*m_job, 1);
}

BackgroundWork::~BackgroundWork()
{
    if (!m_done)
        pool().finish(*m_job);
}

void BackgroundWork::wait()
{
    if (m_done)
        return;
    m_done = true;
    pool().finish(*m_job);
    if (m_job->failure)
        std::rethrow_exception(m_job->failure);
}

} // namespace nocta
