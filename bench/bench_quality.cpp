// The quality filter on 1920x1080 night frames: the time of one output
// frame in a running movie (radius 2, the steady state of push()).
//
//   build/nocta-bench --benchmark_filter=Quality --benchmark_repetitions=5 --benchmark_report_aggregates_only=true

#include "filters/parallel.h"
#include "filters/quality/chromaguide.h"
#include "filters/quality/qualityfilter.h"
#include "filters/quality/qualityplanes.h"
#include "nightclip.h"

#include <benchmark/benchmark.h>

#include <QImage>

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

namespace {

constexpr int Width = 1920;
constexpr int Height = 1080;
constexpr int Frames = 8;

// A daylight street-like scene: smooth shading, edges, and a bright box
// that crosses it while the view pans slowly.
QImage daylightFrame(int index)
{
    QImage image(Width, Height, QImage::Format_RGB888);
    for (int y = 0; y < Height; ++y) {
        uchar *line = image.scanLine(y);
        for (int x = 0; x < Width; ++x) {
            const int u = x + 3 * index, v = y + index;
            int base = 90 + int(60 * std::sin(u * 0.013) * std::cos(v * 0.011)) + ((u / 97 + v / 61) % 3) * 25;
            if (x > 300 + 24 * index && x < 520 + 24 * index && y > 600 && y < 760)
                base = 230;
            line[3 * x] = uchar(qBound(0, base, 255));
            line[3 * x + 1] = uchar(qBound(0, base - 10, 255));
            line[3 * x + 2] = uchar(qBound(0, base + 15, 255));
        }
    }
    return image;
}

const std::vector<QImage> &nightFrames()
{
    static const std::vector<QImage> frames = [] {
        std::vector<QImage> all;
        nocta::bench::NightNoise noise(3, 0.12);
        for (int i = 0; i < Frames; ++i) {
            QImage dark, noisy;
            noise.apply(daylightFrame(i), dark, noisy);
            all.push_back(noisy.convertToFormat(QImage::Format_RGB32));
        }
        return all;
    }();
    return frames;
}

void BM_qualityFrame(benchmark::State &state)
{
    nocta::setFilterThreads(int(state.range(0)));
    const std::vector<QImage> &frames = nightFrames();
    nocta::QualityFilter filter(QSize(Width, Height), nocta::QualityOptions());
    // Back and forth through the frames, so that no step is a scene cut.
    int step = 0;
    auto next = [&] {
        const int period = 2 * (Frames - 1), p = step++ % period;
        return frames[std::size_t(p < Frames ? p : period - p)];
    };
    for (int i = 0; i < 2 * Frames; ++i)
        benchmark::DoNotOptimize(filter.push(next()));
    for (auto _ : state)
        benchmark::DoNotOptimize(filter.push(next()));
}

// A frame's planes loaded from its pixels (floats, fixed point and bytes).
void BM_qualityLoad(benchmark::State &state)
{
    nocta::setFilterThreads(int(state.range(0)));
    const QImage &frame = nightFrames().front();
    nocta::quality::FramePlanes planes;
    for (auto _ : state)
        nocta::quality::loadFramePlanes(frame, planes);
}

// A fixed-point plane's values as floats, with a border of 8.
nocta::quality::PlaneF floatsOf(const nocta::quality::Plane16 &fixed)
{
    nocta::quality::PlaneF plane;
    plane.reset(fixed.width, fixed.height, 8);
    for (int y = -8; y < fixed.height + 8; ++y)
        for (int x = -8; x < fixed.width + 8; ++x)
            plane.row(y)[x] = nocta::quality::FixedUnit * float(fixed.row(y)[x]);
    return plane;
}

// The output frame from filtered planes: the colour fit, the upsampling and
// the channels through their unbias tables.
void BM_qualityOutput(benchmark::State &state)
{
    using namespace nocta::quality;
    nocta::setFilterThreads(int(state.range(0)));
    FramePlanes planes;
    loadFramePlanes(nightFrames().front(), planes);
    const PlaneF y = floatsOf(planes.y16), u = floatsOf(planes.u16), v = floatsOf(planes.v16);
    std::array<UnbiasTable, 3> unbias;
    for (std::size_t c = 0; c < 3; ++c)
        for (int t = 0; t < UnbiasSize; ++t)
            unbias[c][std::size_t(t)] = std::uint8_t(std::clamp(int(t * 0.26 - 3.0 * double(c + 1)), 0, 255));
    // Noise left at every cell: a frame's colour noise, a fifth of it.
    PlaneF variance = u, residual = u;
    std::fill(variance.data.begin(), variance.data.end(), 20.0f);
    std::fill(residual.data.begin(), residual.data.end(), 0.2f);
    for (auto _ : state)
        benchmark::DoNotOptimize(guidedFrame(y, u, v, {&variance, &variance, &residual}, 1.0f, unbias));
}

} // namespace

BENCHMARK(BM_qualityLoad)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_qualityOutput)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_qualityFrame)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
