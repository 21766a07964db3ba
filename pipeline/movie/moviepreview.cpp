#include "pipeline/movie/moviepreview.h"

#include "filters/fuzzy/denoisefuzzy.h"
#include "filters/fuzzy/frameplanes.h"
#include "filters/fuzzy/prefilterframe.h"
#include "filters/standard/denoisestandard.h"
#include "filters/standard/smoothframe.h"
#include "pipeline/movie/decodeplan.h"
#include "pipeline/movie/moviestages.h"
#include "pipeline/movie/pipethreads.h"
#include "pipeline/run/processingrun.h"
#include "pipeline/run/qualitychain.h"

#include <QDir>
#include <QElapsedTimer>

#include <cmath>
#include <deque>
#include <vector>

namespace nocta {

namespace {

constexpr int Radius = 2; // the windows of Standard and Fuzzy

Error previewError(const QString &detail)
{
    return Error::failed(Error::Stage::Processing, detail);
}

double msSince(const QElapsedTimer &timer)
{
    return double(timer.nsecsElapsed()) / 1e6;
}

// Frame i of frames is movie frame first + i; the window of the frame
// shown is frames [at - first - 2, at - first + 2].
ModePreview standardPreview(const std::vector<QImage> &window)
{
    QElapsedTimer timer;
    timer.start();
    std::vector<QImage> smooth;
    for (const QImage &frame : window)
        smooth.push_back(smoothFrame(frame));
    const double perFrame = msSince(timer) / double(window.size());
    timer.restart();
    QImage out = denoiseStandard(smooth[0], smooth[1], smooth[2], smooth[3], smooth[4]);
    return {QStringLiteral("Standard"), out, perFrame + msSince(timer)};
}

ModePreview fuzzyPreview(const std::vector<QImage> &window)
{
    const int w = window.front().width(), h = window.front().height();
    QElapsedTimer timer;
    timer.start();
    std::vector<CompactFramePlanes> planes;
    for (const QImage &frame : window) {
        planes.emplace_back(w, h);
        prefilterFrame(1, frame, planes.back());
    }
    const double perFrame = msSince(timer) / double(window.size());
    timer.restart();
    QImage out = denoiseFuzzy(planes[0], planes[1], planes[2], planes[3], planes[4], w, h);
    return {QStringLiteral("Fuzzy"), out, perFrame + msSince(timer)};
}

// The quality chain fed as a run of the movie that keeps frame `at`.
ModePreview qualityPreview(const std::deque<QImage> &frames, int first, int at, const QualityOptions &options)
{
    const int from = QualityChain::firstInput(at, options.radius);
    QualityChain chain(frames.front().size(), options, from);
    std::vector<QualityChain::Output> ready;
    QImage out;
    int fed = 0;
    QElapsedTimer timer;
    timer.start();
    for (int i = from; i < first + int(frames.size()) && out.isNull(); ++i, ++fed) {
        chain.add(frames[std::size_t(i - first)], &ready);
        if (i + 1 == first + int(frames.size()))
            chain.finish(&ready);
        for (const QualityChain::Output &output : ready)
            if (output.first == at)
                out = output.second;
        ready.clear();
    }
    return {QStringLiteral("Quality"), out, msSince(timer) / double(qMax(1, fed))};
}

Error decodeFrames(const QString &moviePath, const MovieInfo &info, const FrameSpan &span, std::deque<QImage> *frames)
{
    DecoderSource source(planDecode(moviePath, info, span), info, span.count, span.first + 1, [] { return false; });
    if (const Fault fault = source.start())
        return fault.error(Error::Stage::Processing);
    SourceFrame frame;
    while (int(frames->size()) < span.count && source.next(&frame))
        frames->push_back(frame.image);
    if (const Error error = source.failure())
        return error;
    return Error();
}

} // namespace

Error previewMovie(const QString &moviePath, double seconds, const QualityOptions &quality, MoviePreview *preview)
{
    const QString problem = QualityFilter::problem(QSize(64, 64), quality);
    if (!problem.isEmpty())
        return previewError(problem);
    if (Error error = checkMovie(moviePath))
        return error;
    MovieInfo info;
    if (Error error = probeMovie(moviePath, &info))
        return error;
    if (info.frames < 2 * Radius + 1)
        return previewError(QStringLiteral("%1 has %2 frames; a preview needs at least five")
                                .arg(QDir::toNativeSeparators(moviePath))
                                .arg(info.frames < 0 ? QStringLiteral("an unknown number of") : QString::number(info.frames)));
    const int wanted = seconds < 0 ? info.frames / 2 : int(std::floor(seconds * info.rate()));
    if (wanted >= info.frames)
        return previewError(QStringLiteral("%1 s is past the end of %2, which lasts %3 s")
                                .arg(seconds).arg(QDir::toNativeSeparators(moviePath))
                                .arg(info.frames / info.rate(), 0, 'f', 2));
    const int at = qBound(Radius, wanted, info.frames - 1 - Radius);
    FrameSpan span;
    span.first = qMin(at - Radius, QualityChain::firstInput(at, quality.radius));
    span.count = qMin(info.frames, at + qMax(Radius, quality.radius) + 1) - span.first;
    std::deque<QImage> frames;
    if (Error error = decodeFrames(moviePath, info, span, &frames))
        return error;
    if (int(frames.size()) < at + Radius + 1 - span.first)
        return previewError(QStringLiteral("%1 ends before frame %2; it has fewer frames than it says")
                                .arg(QDir::toNativeSeparators(moviePath)).arg(at + Radius + 1));

    const std::vector<QImage> window(frames.begin() + (at - Radius - span.first),
                                     frames.begin() + (at + Radius + 1 - span.first));
    MoviePreview result;
    result.frameIndex = at;
    result.seconds = at / info.rate();
    result.source = window[Radius];
    if (const QString why = QualityFilter::problem(result.source.size(), quality); !why.isEmpty())
        return previewError(QStringLiteral("the quality mode cannot take %1: %2")
                                .arg(QDir::toNativeSeparators(moviePath), why));
    result.modes = {standardPreview(window), fuzzyPreview(window), qualityPreview(frames, span.first, at, quality)};
    for (const ModePreview &mode : result.modes)
        if (mode.frame.isNull())
            throw std::bad_alloc();
    *preview = result;
    return Error();
}

} // namespace nocta
