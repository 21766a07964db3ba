#include "filters/parallel.h"

#include <QSemaphore>
#include <QThread>
#include <QThreadPool>

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>

namespace nocta {

namespace {

std::atomic<int> requestedThreads{0};

QThreadPool &pool()
{
    // Leaked on purpose: its threads must outlive every static destructor
    // that might still run a filter.
    static QThreadPool *threads = [] {
        auto *p = new QThreadPool;
        p->setMaxThreadCount(std::max(1, QThread::idealThreadCount()));
        p->setExpiryTimeout(-1);
        return p;
    }();
    return *threads;
}

constexpr int BandsPerThread = 8;

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
    QThreadPool &helpers = pool();
    if (helpers.maxThreadCount() < threads - 1)
        helpers.setMaxThreadCount(threads - 1);

    const int bands = std::min(rows, threads * BandsPerThread);
    std::atomic<int> next{0};
    // A band that throws (out of memory) stops the hand-out; the first
    // exception reaches the caller once every thread is done.
    std::mutex failureLock;
    std::exception_ptr failure;
    auto runBands = [&] {
        try {
            for (int band; (band = next.fetch_add(1)) < bands;)
                work(int(qint64(rows) * band / bands), int(qint64(rows) * (band + 1) / bands));
        } catch (...) {
            next = bands;
            const std::lock_guard<std::mutex> lock(failureLock);
            if (!failure)
                failure = std::current_exception();
        }
    };
    QSemaphore finished;
    for (int t = 1; t < threads; ++t)
        helpers.start([&] {
            runBands();
            finished.release();
        });
    runBands();
    finished.acquire(threads - 1);
    if (failure)
        std::rethrow_exception(failure);
}

} // namespace nocta
