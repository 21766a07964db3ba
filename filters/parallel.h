#pragma once

#include <functional>
#include <memory>

namespace nocta {

namespace detail {
struct ParallelJob;
}

// Pixel loops are split into bands of rows and the bands are shared out
// among the cores. Every row is computed from the inputs alone, so any
// number of threads gives the same bytes.
//
// The bands run on helper threads that sleep while they have nothing to
// do, and on the calling thread. OpenMP was measured here too: its idle
// threads spin, and in an overlapped processing run they took the cores
// from the threads that load and save frames. More bands than threads are
// handed out one at a time, so a thread that the system preempts does not
// hold up the others, and they get shorter towards the last rows, so that
// the threads finish close together. Helper threads that the system
// refuses to start (a process or memory limit) are done without: the
// calling thread and the helpers that exist do every band.

// Set the number of threads the filters use (0: one per core).
void setFilterThreads(int threads);
int filterThreads();

// Runs work(begin, end) over bands of [0, rows) that together cover every
// row once, on up to filterThreads() threads (the caller's included), and
// returns when all are done. An exception thrown by work is rethrown here.
// Several threads may call it at once.
void parallelRows(int rows, const std::function<void(int begin, int end)> &work);

// Work that runs beside the caller's: handed to a helper thread when it is
// made, so that the caller's own work (parallelRows included: its bands go
// to the threads that are free) goes on meanwhile. wait() returns once it
// is done (running it on the calling thread if no helper has taken it up,
// as with one filter thread) and rethrows what it threw; the destructor
// waits too. The result must not depend on when the work runs.
class BackgroundWork
{
public:
    explicit BackgroundWork(std::function<void()> work);
    ~BackgroundWork();
    BackgroundWork(const BackgroundWork &) = delete;
    BackgroundWork &operator=(const BackgroundWork &) = delete;

    void wait();

private:
    std::function<void()> m_work;
    std::function<void(int, int)> m_band;
    std::unique_ptr<detail::ParallelJob> m_job;
    bool m_done = false;
};

} // namespace nocta
