#include "filters/memorytuning.h"
#include "filters/parallel.h"

#include <QProcess>
#include <QtTest>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

#if defined(__GLIBC__) && !defined(__SANITIZE_ADDRESS__)
#include <malloc.h>
#define NOCTA_GLIBC_MALLOC 1
#endif

class TestParallel : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { nocta::setFilterThreads(0); }
    void allocatorTunedOnRequestOnly();
    void everyRowOnce_data();
    void everyRowOnce();
    void exceptionReachesCaller();
    void backgroundWorkRunsBesideTheCaller_data();
    void backgroundWorkRunsBesideTheCaller();
    void backgroundFailureReachesCaller();
    void noHelperThreadCanStart();
};

// Linking the library leaves the allocator as it is; tuneMemoryForFrames
// keeps frame-sized blocks in the heap. (Runs first: nothing has freed a
// large block yet that would have moved glibc's threshold by itself.)
void TestParallel::allocatorTunedOnRequestOnly()
{
#ifdef NOCTA_GLIBC_MALLOC
    constexpr std::size_t FrameBytes = std::size_t(20) << 20;
    auto mappedBlocks = [] { return mallinfo2().hblks; };
    const std::size_t before = mappedBlocks();
    void *volatile untuned = std::malloc(FrameBytes);
    QCOMPARE(mappedBlocks(), before + 1);
    nocta::tuneMemoryForFrames();
    void *volatile tuned = std::malloc(FrameBytes);
    QCOMPARE(mappedBlocks(), before + 1);
    std::free(tuned);
    std::free(untuned);
#else
    QSKIP("glibc's allocator is not in use");
#endif
}

void TestParallel::everyRowOnce_data()
{
    QTest::addColumn<int>("rows");
    QTest::addColumn<int>("threads");
    for (int threads : {1, 2, 3, 8})
        for (int rows : {0, 1, 2, 5, 17, 1080})
            QTest::addRow("%d rows, %d threads", rows, threads) << rows << threads;
}

void TestParallel::everyRowOnce()
{
    QFETCH(int, rows);
    QFETCH(int, threads);
    nocta::setFilterThreads(threads);
    std::vector<std::atomic<int>> visits(std::size_t(rows) + 1);
    std::atomic<bool> badBand{false};
    nocta::parallelRows(rows, [&](int begin, int end) {
        if (begin < 0 || begin >= end || end > rows) {
            badBand = true;
            return;
        }
        for (int y = begin; y < end; ++y)
            ++visits[std::size_t(y)];
    });
    QVERIFY(!badBand);
    for (int y = 0; y < rows; ++y)
        QCOMPARE(visits[std::size_t(y)].load(), 1);
}

void TestParallel::exceptionReachesCaller()
{
    nocta::setFilterThreads(4);
    bool thrown = false;
    try {
        nocta::parallelRows(400, [](int begin, int end) {
            if (begin <= 200 && 200 < end)
                throw std::runtime_error("band failed");
        });
    } catch (const std::runtime_error &e) {
        thrown = QByteArray(e.what()) == "band failed";
    }
    QVERIFY(thrown);
    // The pool still works afterwards.
    std::atomic<int> rowsDone{0};
    nocta::parallelRows(400, [&](int begin, int end) { rowsDone += end - begin; });
    QCOMPARE(rowsDone.load(), 400);
}

void TestParallel::backgroundWorkRunsBesideTheCaller_data()
{
    QTest::addColumn<int>("threads");
    for (int threads : {1, 2, 3, 8})
        QTest::addRow("%d threads", threads) << threads;
}

// Work handed to the background runs once, on a helper thread when there
// is one (it starts before the caller waits for it), while the caller's
// own parallelRows calls, and its own, cover every row once.
void TestParallel::backgroundWorkRunsBesideTheCaller()
{
    QFETCH(int, threads);
    nocta::setFilterThreads(threads);
    std::atomic<int> runs{0};
    std::atomic<bool> started{false};
    std::vector<std::atomic<int>> inner(500), outer(700);
    auto count = [](std::vector<std::atomic<int>> &visits) {
        return [&visits](int begin, int end) {
            for (int y = begin; y < end; ++y)
                ++visits[std::size_t(y)];
        };
    };
    const std::thread::id caller = std::this_thread::get_id();
    std::atomic<bool> onCaller{false};
    nocta::BackgroundWork work([&] {
        started = true;
        onCaller = std::this_thread::get_id() == caller;
        ++runs;
        nocta::parallelRows(500, count(inner));
    });
    for (int call = 0; call < 3; ++call)
        nocta::parallelRows(700, count(outer));
    if (threads > 1) {
        QTRY_VERIFY_WITH_TIMEOUT(started.load(), 10000);
        QVERIFY(!onCaller);
    }
    work.wait();
    work.wait();
    QCOMPARE(runs.load(), 1);
    QVERIFY(std::all_of(inner.begin(), inner.end(), [](const std::atomic<int> &v) { return v == 1; }));
    QVERIFY(std::all_of(outer.begin(), outer.end(), [](const std::atomic<int> &v) { return v == 3; }));
}

void TestParallel::backgroundFailureReachesCaller()
{
    for (int threads : {1, 2}) {
        nocta::setFilterThreads(threads);
        bool thrown = false;
        try {
            nocta::BackgroundWork work([] { throw std::runtime_error("work failed"); });
            work.wait();
        } catch (const std::runtime_error &e) {
            thrown = QByteArray(e.what()) == "work failed";
        }
        QVERIFY(thrown);
        // Not waited for: the destructor waits and keeps the failure.
        { nocta::BackgroundWork dropped([] { throw std::runtime_error("dropped"); }); }
    }
}

// The child of noHelperThreadCanStart: a process that may not start a
// single thread more (RLIMIT_NPROC of an unprivileged user; root is not
// held to it, so root becomes nobody first). Exit status 0: every row
// done once; 77: the system starts threads all the same.
int runWithoutThreads()
{
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
        return 77;
    const rlimit one = {1, 1};
    if (setrlimit(RLIMIT_NPROC, &one) != 0)
        return 77;
    try {
        std::thread([] {}).join();
        return 77;
    } catch (const std::system_error &) {
    }
    nocta::setFilterThreads(4);
    std::vector<int> visits(1000);
    for (int call = 0; call < 3; ++call)
        nocta::parallelRows(1000, [&](int begin, int end) {
            for (int y = begin; y < end; ++y)
                ++visits[std::size_t(y)];
        });
    int backgroundRuns = 0;
    nocta::BackgroundWork([&] { ++backgroundRuns; }).wait();
    const bool everyRowThrice = std::all_of(visits.begin(), visits.end(), [](int v) { return v == 3; })
                             && backgroundRuns == 1;
    std::fflush(nullptr);
    _exit(everyRowThrice ? 0 : 1);   // no leak check: it would need a thread
}

// When the system refuses every helper thread (ulimit -u, ulimit -v), the
// calls still finish, with every row done by the calling thread.
void TestParallel::noHelperThreadCanStart()
{
    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("NOCTA_TEST_WITHOUT_THREADS"), QStringLiteral("1"));
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    child.start(QCoreApplication::applicationFilePath(), QStringList());
    QVERIFY(child.waitForStarted());
    if (!child.waitForFinished(30000)) {
        child.kill();
        child.waitForFinished();
        QFAIL("parallelRows still waits after 30 s for helper threads that never started");
    }
    QCOMPARE(child.exitStatus(), QProcess::NormalExit);
    if (child.exitCode() == 77)
        QSKIP("this system starts threads beyond RLIMIT_NPROC");
    QCOMPARE(child.exitCode(), 0);
}

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsSet("NOCTA_TEST_WITHOUT_THREADS"))
        return runWithoutThreads();
    QCoreApplication application(argc, argv);
    TestParallel test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_parallel.moc"
