#include "pipeline/movie/moviestream.h"

#include "pipeline/core/runsink.h"
#include "pipeline/movie/keptstreams.h"
#include "pipeline/movie/moviestages.h"
#include "pipeline/movie/movieoutput.h"
#include "pipeline/movie/pipethreads.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cmath>

namespace nocta {

namespace {

// What a streamed job does, worked out before ffmpeg starts.
struct StreamPlan
{
    MovieInfo info;
    EncodePlan encode;
    TemporalWindow window;
    FrameSpan span;             // the decoded frames
    FrameRange range;           // the output frames
    QStringList metadata;       // a part's label
    QList<KeptStream> streams;  // the movie's other streams that go along

    // How much earlier the other streams go: the time of output frame 0,
    // movie frame range.first + shift; and of that, the time of the frames
    // before it in its window, within which a subtitle that begins before
    // output frame 0 still shows.
    double offset() const { return (range.first + window.shift()) / info.rate(); }
    double margin() const { return window.shift() / info.rate(); }
};

// "five" for 5: counts of frames in messages.
QString countWord(int count)
{
    static const char *const words[] = {"no", "one", "two", "three", "four", "five", "six", "seven", "eight", "nine"};
    return count >= 0 && count < 10 ? QLatin1String(words[count]) : QString::number(count);
}

// The encoder that reads the denoised frames from its standard input and
// takes the kept streams from the movie, with metadata ("KEY=value") for
// the output's header.
QStringList streamEncodeArguments(const StreamPlan &plan, const QString &outputPath)
{
    const MovieInfo &info = plan.info;
    QStringList arguments{QStringLiteral("-nostdin"), QStringLiteral("-loglevel"), QStringLiteral("error"),
                          QStringLiteral("-f"), QStringLiteral("rawvideo"), QStringLiteral("-pix_fmt"), QStringLiteral("rgb24"),
                          QStringLiteral("-video_size"), QStringLiteral("%1x%2").arg(info.width).arg(info.height),
                          QStringLiteral("-framerate"), plan.encode.rate(info.rateText()),
                          QStringLiteral("-i"), QStringLiteral("pipe:0")};
    arguments << keptStreamInputs(plan.streams, plan.offset(), plan.margin());
    arguments << QStringLiteral("-map") << QStringLiteral("0:v:0");
    arguments << plan.encode.videoArguments(info.width, info.height, info.sarNum, info.sarDen);
    arguments << keptStreamOutputs(plan.streams, plan.offset(), plan.margin());
    // A cut's sound and subtitles end where its frames do.
    if (plan.range.end >= 0 && !plan.streams.isEmpty())
        arguments << QStringLiteral("-t") << QString::number((plan.range.end - plan.range.first) / info.rate(), 'f', 6);
    for (const QString &entry : plan.metadata)
        arguments << QStringLiteral("-metadata") << entry;
    // MP4 and QuickTime keep tags of their own names only when asked to.
    if (!plan.metadata.isEmpty() && plan.encode.mp4Family())
        arguments << QStringLiteral("-movflags") << QStringLiteral("+use_metadata_tags");
    arguments << QFileInfo(outputPath).absoluteFilePath();
    return arguments;
}

// A cut's frames: the output frames of a whole run that show the movie's
// frames from the cut's start to its end, and the decoded frames their
// windows need.
Error planCut(const StreamJob &job, StreamPlan *plan, RunSink &sink)
{
    const MovieInfo &info = plan->info;
    const MovieCut &cut = job.cut;
    const double rate = info.rate();
    // Frame k shows from k / rate; a hair of slack for times written in
    // decimals (1/3 s at 30 fps is frame 10).
    const auto frameAt = [rate](double seconds) { return int(std::ceil(seconds * rate - 1e-6)); };
    const int first = frameAt(cut.start);
    const int end = cut.duration >= 0 ? frameAt(cut.start + cut.duration) : -1;
    if (info.frames >= 0 && first >= info.frames)
        return Error::failed(Error::Stage::Decoding,
                             QStringLiteral("%1 ends at %2 s, before the cut's start at %3 s")
                                 .arg(QDir::toNativeSeparators(job.movie)).arg(info.frames / rate, 0, 'f', 3)
                                 .arg(cut.start, 0, 'f', 3));
    const TemporalWindow &window = plan->window;
    const int outFirst = qMax(0, first - window.shift());
    const int outEnd = end >= 0 ? qMax(outFirst, end - window.shift()) : -1;
    if (outEnd == outFirst)
        return Error::failed(Error::Stage::Processing,
                             QStringLiteral("the cut from %1 s holds no frame that can be denoised").arg(cut.start, 0, 'f', 3));
    plan->range = FrameRange{outFirst, outEnd};
    plan->span.first = window.firstInput(outFirst);
    plan->span.count = outEnd >= 0 ? window.endInput(outEnd) - plan->span.first : -1;
    sink.log(QStringLiteral(" - Cut: movie frames %1 to %2")
                 .arg(outFirst + window.shift())
                 .arg(outEnd >= 0 ? QString::number(outEnd + window.shift() - 1) : QStringLiteral("the end")));
    return Error();
}

// A part takes its share of the frames and no other stream: join adds
// those. A whole movie keeps its sound and subtitles, unless the frames
// are timed anew, when neither would keep in step.
Error planFrames(const StreamJob &job, StreamPlan *plan, RunSink &sink)
{
    if (job.part.isPart()) {
        PartPlan part;
        if (Error error = planPart(PartJob{job.movie, job.part, job.mode, plan->encode, job.quality}, plan->info, &part))
            return error;
        plan->span = part.frames;
        plan->range = part.range;
        plan->metadata = part.tags;
        sink.log(QStringLiteral(" - Part %1 of %2: output frames %3 to %4")
                     .arg(job.part.index).arg(job.part.count).arg(part.range.first)
                     .arg(part.range.end >= 0 ? QString::number(part.range.end - 1) : QStringLiteral("the end")));
        return Error();
    }
    if (job.cut.isCut()) {
        if (Error error = planCut(job, plan, sink))
            return error;
    }
    if (!plan->encode.retimed())
        plan->streams = keptStreams(job.movie, plan->info, job.output, plan->encode.sound, sink);
    return Error();
}

Error planStream(const StreamJob &job, StreamPlan *plan, RunSink &sink)
{
    if (Error error = checkMovie(job.movie))
        return error;
    if (Error error = probeMovie(job.movie, &plan->info))
        return error;
    if (Error error = EncodePlan::resolve(job.encode, job.output, &plan->encode))
        return error;
    plan->window = temporalWindow(job.mode, job.quality);
    const MovieInfo &info = plan->info;
    sink.log(QStringLiteral(" - Denoising %1: %2x%3, %4 fps, %5 frames")
                 .arg(QDir::toNativeSeparators(job.movie)).arg(info.width).arg(info.height)
                 .arg(info.rate(), 0, 'f', 3 - (info.rateDen == 1 ? 3 : 0))
                 .arg(info.frames >= 0 ? QString::number(info.frames) : QStringLiteral("unknown")));
    return planFrames(job, plan, sink);
}

// What a decode of frames [first, first + expected) that gave only the
// first `given` of them and ended with ffmpeg's complaint about the movie
// lost: "the movie is damaged: frames 49-96 (1.92-3.84 s) could not be
// decoded (<complaint>)"; no error when nothing is missing or ffmpeg did
// not complain (the movie's frame count was only an estimate).
Error lostFrames(const MovieInfo &info, int first, int given, int expected, const QString &complaint)
{
    if (complaint.isEmpty() || expected < 0 || given >= expected)
        return Error();
    // Frames are numbered from 1 in messages.
    const int from = first + given + 1, to = first + expected;
    const auto time = [&info](int frame) { return QString::number(frame / info.rate(), 'f', 2); };
    return Error::failed(Error::Stage::Decoding,
                         QStringLiteral("the movie is damaged: frames %1-%2 (%3-%4 s) could not be decoded (%5)")
                             .arg(from).arg(to).arg(time(from - 1), time(to), complaint));
}

// The decoder, the run and the encoder, each on a thread of its own. What
// the decoder could not decode of a damaged movie goes to *damage.
RunResult runStream(const StreamJob &job, const StreamPlan &plan, const QString &partial, RunSink &sink,
                    Error *damage)
{
    const MovieInfo &info = plan.info;
    const FrameSpan &span = plan.span;
    const int expected = span.count >= 0 ? span.count : info.frames >= 0 ? qMax(0, info.frames - span.first) : -1;
    DecoderSource source(planDecode(job.movie, info, span), info, expected, span.first + 1,
                         [&sink] { return sink.stopRequested(); });
    EncoderTarget encoder(streamEncodeArguments(plan, partial), QSize(info.width, info.height));
    ProcessingRun run(job.mode, sink, job.quality, RunSpan{span.first, plan.range.first, plan.range.end});
    const RunResult result = run.exec([&] {
        Fault fault = encoder.start();
        if (!fault)
            fault = source.start();
        if (fault) {
            run.fail(fault.error(Error::Stage::Processing));
            return;
        }
        run.slide(source, encoder);
    });
    *damage = lostFrames(info, span.first, source.given(), expected, source.complaint());
    return result;
}

// The run wrote every frame it was to write: some, and for a part that
// is not the last, all of its range (a short one would leave a hole in
// the joined movie).
Error checkWritten(const StreamJob &job, const StreamPlan &plan, int written)
{
    const FrameRange &range = plan.range;
    if (written == 0 && job.part.isPart())
        return Error::failed(Error::Stage::Processing,
                             QStringLiteral("the movie ends before part %1 of %2, at output frame %3; it has fewer "
                                            "frames than it says, so split it into fewer parts")
                                 .arg(job.part.index).arg(job.part.count).arg(range.first));
    if (written == 0)
        return Error::failed(Error::Stage::Encoding,
                             QStringLiteral("the %1 has fewer than %2 frames, so there is nothing to encode")
                                 .arg(job.cut.isCut() ? QStringLiteral("cut") : QStringLiteral("movie"),
                                      countWord(plan.window.size())));
    const int due = range.end - range.first;
    if (job.part.isPart() && range.end >= 0 && written != due)
        return Error::failed(Error::Stage::Processing,
                             QStringLiteral("the movie ends at output frame %1, before the end of part %2 of %3 at %4; "
                                            "it has fewer frames than it says, so split it into fewer parts")
                                 .arg(range.first + written).arg(job.part.index).arg(job.part.count)
                                 .arg(range.end));
    return Error();
}

// Subtitles that are not copied are encoded beforehand into dir.
Error encodeSubtitlesAhead(StreamPlan *plan, const QTemporaryDir &dir, const QString &suffix, RunSink &sink)
{
    if (!dir.isValid())
        return Error::failed(Error::Stage::Encoding, QStringLiteral("cannot create a temporary directory"),
                             dir.errorString());
    return encodeSubtitlesAhead(&plan->streams, dir.path(), suffix, [&sink] { return sink.stopRequested(); })
        .error(Error::Stage::Encoding);
}

} // namespace

bool denoiseMovie(const StreamJob &job, RunSink &sink)
{
    StreamPlan plan;
    Error error = planStream(job, &plan, sink);
    QTemporaryDir scratch;
    if (!error)
        error = encodeSubtitlesAhead(&plan, scratch, QFileInfo(job.output).suffix(), sink);
    MovieOutput output(job.output, Error::Stage::Encoding);
    output.setStopCheck([&sink] { return sink.stopRequested(); });
    output.setReplace(job.replace);
    if (!error)
        error = output.open();
    if (error) {
        sink.logFailure(error.line());
        return false;
    }
    Error damage;
    const RunResult result = runStream(job, plan, output.partial(), sink, &damage);
    if (!result.ok())
        return false;
    // The movie replaces an earlier one only when it is whole: ffmpeg
    // reported no failed write (the encoder's failure above), and its
    // frames read back, where ffprobe is there to count them. Of a damaged
    // movie it holds what could be decoded, unless it is empty or a part
    // that is not the last, which join could not use.
    error = checkWritten(job, plan, result.framesWritten);
    if (error && damage)
        error = damage;
    if (!error)
        error = output.commit(result.framesWritten);
    if (error) {
        sink.logFailure(error.line());
        return false;
    }
    sink.log(QStringLiteral(" - Movie created."));
    if (damage) {
        damage.detail += QStringLiteral("; the denoised movie holds the frames before them");
        sink.logFailure(damage.line());
        return false;
    }
    return true;
}

} // namespace nocta
