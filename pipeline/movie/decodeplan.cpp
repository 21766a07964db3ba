#include "pipeline/movie/decodeplan.h"

#include "pipeline/movie/ffmpeg.h"

#include <QFileInfo>

namespace nocta {

namespace {

// A decoder of the movie's first video stream into raw frames on ffmpeg's
// standard output, at the movie's own rate, as a decode into numbered files
// gives them, in ffmpeg's bgr24 (the bytes of its 24-bit BMPs); with input
// options before the movie and output options after it.
QStringList rawDecodeArguments(const QString &moviePath, const MovieInfo &info, const QStringList &inputOptions,
                               const QStringList &outputOptions)
{
    return QStringList{QStringLiteral("-nostdin"), QStringLiteral("-loglevel"), QStringLiteral("error")} + inputOptions
        + QStringList{QStringLiteral("-i"), QFileInfo(moviePath).absoluteFilePath(),
                      QStringLiteral("-map"), QStringLiteral("0:v:0")}
        + outputOptions
        + QStringList{QStringLiteral("-r"), info.rateText(), QStringLiteral("-f"), QStringLiteral("rawvideo"),
                      QStringLiteral("-pix_fmt"), QStringLiteral("bgr24"), QStringLiteral("pipe:1")};
}

// How many frames of the rate's grid a decode that seeks starts before its
// span. ffmpeg fills the grid's first place with the first frame it has
// there, which is not the whole decode's frame when that one falls just
// before the grid's start; the frames after it are the same. The margin
// also covers short gaps in a movie of variable rate.
constexpr int LeadFrames = 4;

// Containers with an index land on the keyframe before; others may land
// anywhere, and the decoder then waits for the next keyframe. Only that
// first frame is decoded: the frames up to `from` are not (-noaccurate_seek).
qint64 firstFrameAfterSeek(const QString &moviePath, const MovieInfo &info, qint64 from)
{
    FfmpegProcess ffmpeg;
    ffmpeg.setOutput(FfmpegProcess::Output::Pipe);
    if (!ffmpeg.start({QStringLiteral("-nostdin"), QStringLiteral("-loglevel"), QStringLiteral("error"),
                       QStringLiteral("-copyts"), QStringLiteral("-start_at_zero"), QStringLiteral("-noaccurate_seek"),
                       QStringLiteral("-ss"), gridTime(info.rateNum, info.rateDen, from),
                       QStringLiteral("-i"), QFileInfo(moviePath).absoluteFilePath(), QStringLiteral("-map"), QStringLiteral("0:v:0"),
                       QStringLiteral("-frames:v"), QStringLiteral("1"), QStringLiteral("-f"), QStringLiteral("framecrc"),
                       QStringLiteral("pipe:1")}))
        return -1;
    const QStringList lines = QString::fromLatin1(ffmpeg.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    if (!ffmpeg.waitForFinished())
        return -1;
    // "#tb 0: 1/25", then "0, dts, pts, duration, size, crc" per frame.
    qint64 tbNum = 0, tbDen = 0;
    for (const QString &line : lines) {
        if (line.startsWith(QLatin1String("#tb 0:"))) {
            parseRate(line.mid(6).trimmed(), &tbNum, &tbDen);
        } else if (!line.startsWith(QLatin1Char('#')) && tbNum > 0) {
            bool ok = false;
            const qint64 pts = line.section(QLatin1Char(','), 2, 2).trimmed().toLongLong(&ok);
            if (!ok)
                return -1;
            return qRound64(double(pts) * double(tbNum) * double(info.rateNum) / (double(tbDen) * double(info.rateDen)));
        }
    }
    return -1;
}

} // namespace

QStringList streamDecodeArguments(const QString &moviePath, const MovieInfo &info)
{
    return rawDecodeArguments(moviePath, info, {}, {});
}

SeekProbe ffmpegSeekProbe(const QString &moviePath, const MovieInfo &info)
{
    return [moviePath, info](qint64 from) { return firstFrameAfterSeek(moviePath, info, from); };
}

DecodePlan planDecode(const QString &moviePath, const MovieInfo &info, const FrameSpan &span, SeekProbe seekProbe)
{
    DecodePlan plan;
    QStringList limit;
    if (span.first <= LeadFrames) {
        if (span.count >= 0)
            limit << QStringLiteral("-frames:v") << QString::number(span.first + span.count);
        plan.arguments = rawDecodeArguments(moviePath, info, {}, limit);
        plan.lead = span.first;
        return plan;
    }

    // The whole decode numbers frames on the rate's grid from the movie's
    // start (ffmpeg's time origin, which -start_at_zero keeps after a
    // seek), filling in or dropping frames to keep to it. The seek's
    // decode starts the same grid at frame `grid`: the output -ss moves
    // the grid's start there, and -fps_mode cfr fills from it.
    const qint64 grid = span.first - LeadFrames;
    QStringList input{QStringLiteral("-copyts"), QStringLiteral("-start_at_zero")};
    for (qint64 back = 1; grid - back > 0; back *= 4) {
        const qint64 from = grid - back;
        if (!seekProbe)
            seekProbe = ffmpegSeekProbe(moviePath, info);
        const qint64 first = seekProbe(from);
        if (first >= 0 && first < grid) {
            input << QStringLiteral("-ss") << gridTime(info.rateNum, info.rateDen, from);
            break;
        }
    }
    if (span.count >= 0)
        limit << QStringLiteral("-frames:v") << QString::number(LeadFrames + span.count);
    plan.arguments = rawDecodeArguments(moviePath, info, input,
                                        QStringList{QStringLiteral("-ss"), gridTime(info.rateNum, info.rateDen, grid),
                                                    QStringLiteral("-fps_mode"), QStringLiteral("cfr")} + limit);
    plan.lead = LeadFrames;
    return plan;
}

} // namespace nocta
