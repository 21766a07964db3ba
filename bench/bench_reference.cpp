// The plain per-pixel implementation that the tests keep as the yardstick
// (one QImage::pixel per read, one thread), timed on the same 1920x1080
// window step as the fast kernels in nocta-bench.
//
//   build/nocta-bench-reference --benchmark_repetitions=3 --benchmark_report_aggregates_only=true

#include "reference/plainfilters.h"

#include "benchmain.h"

#include <QRandomGenerator>

#include <vector>

namespace {

QImage noisyFrame(int index)
{
    QImage image(1920, 1080, QImage::Format_RGB32);
    QRandomGenerator random(4321u + quint32(index));
    for (int y = 0; y < image.height(); ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            const int base = 20 + ((x / 80 + y / 60 + index) % 9 == 0 ? 100 : 0);
            auto noisy = [&](int v) { return qBound(0, v + int(random.bounded(41)) - 20, 255); };
            line[x] = qRgb(noisy(base), noisy(base - 4), noisy(base + 6));
        }
    }
    return image;
}

void BM_referenceStandardStep(benchmark::State &state)
{
    std::vector<QImage> smoothed;
    for (int i = 0; i < 5; ++i)
        smoothed.push_back(nocta::reference::smoothFrame(noisyFrame(i)));
    const QImage entering = noisyFrame(5);
    for (auto _ : state) {
        smoothed[4] = nocta::reference::smoothFrame(entering);
        benchmark::DoNotOptimize(nocta::reference::denoiseStandard(smoothed[0], smoothed[1], smoothed[2],
                                                                   smoothed[3], smoothed[4]));
    }
}

void BM_referenceFuzzyStep(benchmark::State &state)
{
    std::vector<nocta::FramePlanes> sets;
    for (int i = 0; i < 5; ++i) {
        sets.emplace_back(1920, 1080);
        nocta::reference::prefilterFrame(1, noisyFrame(i), sets.back());
    }
    const QImage entering = noisyFrame(5);
    for (auto _ : state) {
        nocta::reference::prefilterFrame(1, entering, sets[4]);
        benchmark::DoNotOptimize(nocta::reference::denoiseFuzzy(sets[0], sets[1], sets[2], sets[3], sets[4], 1920, 1080));
    }
}

} // namespace

BENCHMARK(BM_referenceStandardStep)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_referenceFuzzyStep)->Unit(benchmark::kMillisecond)->UseRealTime();

NOCTA_BENCHMARK_MAIN()
