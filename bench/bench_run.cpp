// Benchmarks of a whole "Process movie" run: 24 noisy 1920x1080 BMP frames
// in, 20 PNG frames out, in each mode, with the overlapped and with the
// plain step-by-step run. The frames live in /dev/shm when there is one, so
// that the disk does not decide the result. items_per_second is output
// frames per second.
//
//   build/nocta-bench-run --benchmark_repetitions=3 --benchmark_report_aggregates_only=true

#include "pipeline/run/processingrun.h"
#include "pipeline/core/runsink.h"

#include "benchmain.h"

#include <QDir>
#include <QImage>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <cmath>
#include <memory>

namespace {

constexpr int Frames = 24;

class QuietSink : public nocta::RunSink
{
public:
    void log(const QString &) override {}
    void timing(const QString &) override {}
};

QImage nightFrame(int index)
{
    QImage image(1920, 1080, QImage::Format_RGB32);
    QRandomGenerator random(99u + quint32(index));
    for (int y = 0; y < image.height(); ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            int base = 20 + int(12 * std::sin((x + 4 * index) * 0.01)) + y / 36;
            if (((x / 80 + y / 60 + index) % 9) == 0)
                base += 100;
            auto noisy = [&](int v) { return qBound(0, v + int(random.bounded(41)) - 20, 255); };
            line[x] = qRgb(noisy(base), noisy(base - 4), noisy(base + 6));
        }
    }
    return image;
}

const QTemporaryDir &workDir()
{
    static const std::unique_ptr<QTemporaryDir> dir = [] {
        const QString base = QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm") : QDir::tempPath();
        auto d = std::make_unique<QTemporaryDir>(base + QStringLiteral("/nocta-bench-XXXXXX"));
        QDir(d->path()).mkdir(QStringLiteral("screens"));
        for (int i = 0; i < Frames; ++i)
            nightFrame(i).save(QStringLiteral("%1/screens/%2.bmp").arg(d->path()).arg(i + 1, 3, 10, QLatin1Char('0')));
        return d;
    }();
    return *dir;
}

void BM_processMovie(benchmark::State &state)
{
    const auto mode = state.range(0) ? nocta::DenoiseMode::Fuzzy : nocta::DenoiseMode::Standard;
    nocta::RunOptions options;
    options.overlapped = state.range(1) != 0;
    const QString dir = workDir().path();
    QuietSink sink;
    for (auto _ : state) {
        const nocta::RunResult result = nocta::processMovie(dir, mode, sink, options);
        if (!result.ok())
            state.SkipWithError("the run failed");
    }
    state.SetItemsProcessed(state.iterations() * (Frames - 4));
}

} // namespace

BENCHMARK(BM_processMovie)
    ->ArgNames({"fuzzy", "overlapped"})
    ->Args({0, 1})->Args({1, 1})->Args({0, 0})->Args({1, 0})
    ->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

NOCTA_BENCHMARK_MAIN()
