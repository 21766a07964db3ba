// Benchmarks of the filter kernels on 1920x1080 noisy night frames, and of
// the filter work of one output frame in each mode (one per-frame filter and
// one five-frame filter, as the processing run does per window step).
//
//   build/nocta-bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true

#include "filters/fuzzy/denoisefuzzy.h"
#include "filters/fuzzy/frameplanes.h"
#include "filters/fuzzy/prefilterframe.h"
#include "filters/parallel.h"
#include "filters/standard/denoisestandard.h"
#include "filters/standard/smoothframe.h"
#include "pipeline/frames/frameio.h"

#include "benchmain.h"

#include <QRandomGenerator>
#include <QTemporaryDir>

#include <array>
#include <cmath>
#include <vector>

namespace {

constexpr int Width = 1920;
constexpr int Height = 1080;

// A dim scene with a moving bright patch and strong sensor noise.
QImage nightFrame(int index)
{
    QImage image(Width, Height, QImage::Format_RGB32);
    QRandomGenerator random(1234u + quint32(index));
    for (int y = 0; y < Height; ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < Width; ++x) {
            int base = 20 + int(12 * std::sin((x + 4 * index) * 0.01)) + (y * 30) / Height;
            if (((x / 80 + y / 60 + index) % 9) == 0)
                base += 100;
            auto noisy = [&](int v) { return qBound(0, v + int(random.bounded(41)) - 20, 255); };
            line[x] = qRgb(noisy(base), noisy(base - 4), noisy(base + 6));
        }
    }
    return image;
}

const std::vector<QImage> &frames()
{
    static const std::vector<QImage> all = [] {
        std::vector<QImage> v;
        for (int i = 0; i < 6; ++i)
            v.push_back(nightFrame(i));
        return v;
    }();
    return all;
}

void threadsArg(benchmark::State &state)
{
    nocta::setFilterThreads(int(state.range(0)));
}

void BM_smoothFrame(benchmark::State &state)
{
    threadsArg(state);
    for (auto _ : state)
        benchmark::DoNotOptimize(nocta::smoothFrame(frames()[0]));
}

void BM_denoiseStandard(benchmark::State &state)
{
    threadsArg(state);
    std::vector<QImage> smoothed;
    for (int i = 0; i < 5; ++i)
        smoothed.push_back(nocta::smoothFrame(frames()[i]));
    for (auto _ : state)
        benchmark::DoNotOptimize(nocta::denoiseStandard(smoothed[0], smoothed[1], smoothed[2], smoothed[3], smoothed[4]));
}

template <typename Planes>
void BM_prefilterFrame(benchmark::State &state)
{
    threadsArg(state);
    Planes planes(Width, Height);
    nocta::prefilterFrame(1, frames()[0], planes);   // first touch of the pages
    for (auto _ : state) {
        nocta::prefilterFrame(1, frames()[0], planes);
        benchmark::ClobberMemory();
    }
}

// The plane sets of the first five frames.
template <typename Planes>
std::vector<Planes> fuzzyWindow()
{
    std::vector<Planes> sets;
    for (int i = 0; i < 5; ++i) {
        sets.emplace_back(Width, Height);
        nocta::prefilterFrame(1, frames()[i], sets.back());
    }
    return sets;
}

template <typename Planes>
void BM_denoiseFuzzy(benchmark::State &state)
{
    threadsArg(state);
    std::vector<Planes> sets = fuzzyWindow<Planes>();
    for (auto _ : state)
        benchmark::DoNotOptimize(nocta::denoiseFuzzy(sets[0], sets[1], sets[2], sets[3], sets[4], Width, Height));
}

// One window step of the Standard chain: smooth the entering frame and
// denoise the window.
void BM_standardStep(benchmark::State &state)
{
    threadsArg(state);
    std::vector<QImage> smoothed;
    for (int i = 0; i < 5; ++i)
        smoothed.push_back(nocta::smoothFrame(frames()[i]));
    for (auto _ : state) {
        smoothed[4] = nocta::smoothFrame(frames()[5]);
        benchmark::DoNotOptimize(nocta::denoiseStandard(smoothed[0], smoothed[1], smoothed[2], smoothed[3], smoothed[4]));
    }
}

// One window step of the Fuzzy chain: pre-filter the entering frame into a
// recycled plane set and denoise the window; with 32-bit planes and with
// the byte planes that the processing run uses.
template <typename Planes>
void BM_fuzzyStep(benchmark::State &state)
{
    threadsArg(state);
    std::vector<Planes> sets = fuzzyWindow<Planes>();
    for (auto _ : state) {
        nocta::prefilterFrame(1, frames()[5], sets[4]);
        benchmark::DoNotOptimize(nocta::denoiseFuzzy(sets[0], sets[1], sets[2], sets[3], sets[4], Width, Height));
    }
}

// Frame I/O of one window step: load a 1080p BMP as the decoder writes it,
// save a 1080p output as PNG.
void BM_loadFrame(benchmark::State &state)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("001.bmp"));
    frames()[0].save(path);
    for (auto _ : state)
        benchmark::DoNotOptimize(nocta::loadFrame(path));
}

void BM_savePng(benchmark::State &state)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("001.png"));
    const QImage out = nocta::smoothFrame(frames()[0]);
    for (auto _ : state)
        nocta::savePng(out, path);
}

void BM_qimageSavePng(benchmark::State &state)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("001.png"));
    const QImage out = nocta::smoothFrame(frames()[0]);
    for (auto _ : state)
        out.save(path, "png", 100);
}

void threadCounts(benchmark::internal::Benchmark *b)
{
    b->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();
}

} // namespace

BENCHMARK(BM_smoothFrame)->Apply(threadCounts);
BENCHMARK(BM_denoiseStandard)->Apply(threadCounts);
BENCHMARK_TEMPLATE(BM_prefilterFrame, nocta::FramePlanes)->Apply(threadCounts);
BENCHMARK_TEMPLATE(BM_prefilterFrame, nocta::CompactFramePlanes)->Apply(threadCounts);
BENCHMARK_TEMPLATE(BM_denoiseFuzzy, nocta::FramePlanes)->Apply(threadCounts);
BENCHMARK_TEMPLATE(BM_denoiseFuzzy, nocta::CompactFramePlanes)->Apply(threadCounts);
BENCHMARK(BM_standardStep)->Apply(threadCounts);
BENCHMARK_TEMPLATE(BM_fuzzyStep, nocta::FramePlanes)->Apply(threadCounts);
BENCHMARK_TEMPLATE(BM_fuzzyStep, nocta::CompactFramePlanes)->Apply(threadCounts);

BENCHMARK(BM_loadFrame)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_savePng)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_qimageSavePng)->Unit(benchmark::kMillisecond)->UseRealTime();

NOCTA_BENCHMARK_MAIN()
