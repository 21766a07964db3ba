#include "filters/memorytuning.h"
#include "filters/parallel.h"

#include <QtTest>

#include <atomic>
#include <cstdlib>
#include <stdexcept>
#include <vector>

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

QTEST_GUILESS_MAIN(TestParallel)
#include "tst_parallel.moc"
