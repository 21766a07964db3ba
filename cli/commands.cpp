#include "cli/commands.h"

#include "cli/previewpicture.h"
#include "cli/terminalsink.h"
#include "pipeline/core/error.h"
#include "pipeline/core/safefile.h"
#include "pipeline/frames/workfolder.h"
#include "pipeline/movie/encodeplan.h"
#include "pipeline/movie/ffmpeg.h"
#include "pipeline/movie/keptstreams.h"
#include "pipeline/movie/moviejoin.h"
#include "pipeline/movie/moviepreview.h"
#include "pipeline/movie/movieoutput.h"
#include "pipeline/movie/moviestages.h"
#include "pipeline/movie/moviestream.h"
#include "pipeline/run/processingrun.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QSaveFile>
#include <QTemporaryDir>
#include <QTemporaryFile>

#include <iostream>
#include <new>

namespace nocta::cli {

namespace {

// The frames of the synthetic clip of "demo": two seconds of a moving test
// pattern, darkened and covered with changing noise.
constexpr int DemoFrames = 50;
const char *const DemoSource = "testsrc2=size=320x240:rate=25";
const char *const DemoLook = "eq=brightness=-0.33:contrast=0.55,noise=alls=28:allf=t+u,format=yuv420p";

QString absolutePath(const QString &path)
{
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

QString shown(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

bool endsWithSeparator(const QString &path)
{
    return path.endsWith(QLatin1Char('/')) || path.endsWith(QDir::separator());
}

bool haveFfmpeg()
{
    return !findFfmpeg().isEmpty();
}

// True when a file can be created in the existing directory dir.
bool canWriteIn(const QString &dir)
{
    QTemporaryFile probe(QDir(dir).filePath(QStringLiteral(".nocta-probe-XXXXXX")));
    return probe.open();
}

// Checks, without creating anything, that a directory exists or can be
// made and that files can be written in it: its nearest existing ancestor
// must be a writable directory.
bool checkWritableDirectory(const QString &dir, QString *error)
{
    QString path = dir;
    while (!QFileInfo::exists(path)) {
        const QString parent = QFileInfo(path).path();
        if (parent == path)
            break;
        path = parent;
    }
    const QString what = QFileInfo(path).isDir() ? QStringLiteral("is not writable")
                                                  : QStringLiteral("is not a directory");
    if (QFileInfo(path).isDir() && canWriteIn(path))
        return true;
    *error = path == dir ? QStringLiteral("cannot write to %1: it %2").arg(shown(dir), what)
                         : QStringLiteral("cannot write to %1: %2 %3").arg(shown(dir), shown(path), what);
    return false;
}

// Makes sure the work directory is there (creating it when allowed) and
// that files can be written in it.
bool prepareWorkDir(const QString &dir, bool create, QString *error)
{
    const QFileInfo info(dir);
    if (info.exists() && !info.isDir()) {
        *error = QStringLiteral("the work directory %1 is not a directory").arg(shown(dir));
        return false;
    }
    if (!info.exists()) {
        if (!create) {
            *error = QStringLiteral("the work directory %1 does not exist").arg(shown(dir));
            return false;
        }
        if (!checkWritableDirectory(dir, error))
            return false;
        if (!QDir().mkpath(dir)) {
            *error = QStringLiteral("cannot create the work directory %1").arg(shown(dir));
            return false;
        }
    }
    if (!canWriteIn(dir)) {
        *error = QStringLiteral("cannot write to the work directory %1").arg(shown(dir));
        return false;
    }
    return true;
}

// What a single movie's decode needs before anything runs: the movie, and
// ffmpeg on PATH.
bool checkDecodeInputs(const QString &movie, QString *error)
{
    if (const Error refusal = checkMovie(movie)) {
        *error = refusal.text();
        return false;
    }
    if (!haveFfmpeg()) {
        *error = ffmpegMissingReason();
        return false;
    }
    return true;
}

// An error of the pipeline in the command line's words: the kinds that
// come from what the options asked for name the options.
QString wording(const Error &error)
{
    using Kind = Error::Kind;
    switch (error.kind) {
    case Kind::WindowFixesEncoding:
        return QStringLiteral("--like-window sets the codec, rate and bit rate itself");
    case Kind::LosslessTakesNoQuality:
        return QStringLiteral("FFV1 is lossless: --crf, --bitrate and --preset do not apply");
    case Kind::QualityAndBitrate:
        return QStringLiteral("--crf and --bitrate exclude each other");
    case Kind::QualityOutOfRange:
        return QStringLiteral("--crf takes 0 to 51");
    case Kind::NoContainer:
        return QStringLiteral("-o %1 names no movie container; the accepted suffixes are .%2")
            .arg(error.subject, EncodePlan::containers().join(QStringLiteral(", .")));
    case Kind::NotAPart:
        return QStringLiteral("%1 is not a part made by nocta-cli all --part (it carries no part label)").arg(error.subject);
    case Kind::SourceGone:
        return error.detail + QStringLiteral(": name it with --audio-from");
    case Kind::SoundSourceGone:
        return error.detail + QStringLiteral(": name it with --audio-from, or leave the sound out with --no-audio");
    default:
        return error.text();
    }
}

// The name a movie has in a batch: its file name without the last suffix.
QString movieName(const QString &movie)
{
    const QString name = QFileInfo(movie).completeBaseName();
    return name.isEmpty() ? QFileInfo(movie).fileName() : name;
}

class Runner
{
public:
    Runner(const Options &options, TerminalSink &sink, const std::atomic_bool &stop)
        : m_options(options), m_sink(sink), m_stop(stop),
          m_workDir(absolutePath(options.workDir.isEmpty() ? QDir::currentPath() : options.workDir))
    {
    }

    int run()
    {
        switch (m_options.command) {
        case Command::Decode:
            return decode();
        case Command::Process:
            return process();
        case Command::Encode:
            return encode();
        case Command::All:
            return m_options.movies.size() == 1 ? allOne() : allBatch();
        case Command::Join:
            return join();
        case Command::Demo:
            return demo();
        case Command::Preview:
            return preview();
        case Command::Help:
        case Command::Version:
            break;
        }
        return ExitOk;
    }

private:
    int error(const QString &text, int status = ExitFailed)
    {
        m_sink.note(text);
        return status;
    }

    int interrupted()
    {
        m_sink.note(QStringLiteral("interrupted"));
        return ExitInterrupted;
    }

    // The stages, each in the given work directory.
    bool decodeStage(const QString &movie, const QString &workDir)
    {
        return decodeMovie(absolutePath(movie), workDir, m_sink, FfmpegLog::Errors);
    }

    bool processStage(const QString &workDir)
    {
        RunOptions options;
        options.quality = m_options.quality;
        return processMovie(workDir, m_options.mode, m_sink, options).ok();
    }

    // encode replaces an earlier movie, as the window's "Code movie" does;
    // all does only with -y.
    bool encodeStage(const QString &workDir, const QString &output, bool replace = true)
    {
        return encodeMovie(workDir, m_sink, output, FfmpegLog::Errors, replace);
    }

    // decode, process and encode, stopping at the first that fails.
    bool allStages(const QString &movie, const QString &workDir, const QString &output)
    {
        return decodeStage(movie, workDir) && !m_stop && processStage(workDir) && !m_stop
            && encodeStage(workDir, output, m_options.overwrite);
    }

    // Says where a single movie went, as a batch does for each of its own.
    bool saved(const QString &output)
    {
        m_sink.log(QStringLiteral(" - Saved %1").arg(shown(output)));
        return true;
    }

    // One outcome: a stop that came after the work was done (the movie
    // took its name) changes nothing.
    int finish(bool ok)
    {
        if (m_stop && !ok)
            return interrupted();
        return ok ? ExitOk : ExitFailed;
    }

    // -o of a single movie: a file, or a directory that receives
    // defaultName. Empty when no -o was given.
    QString singleOutput(const QString &defaultName) const
    {
        if (m_options.output.isEmpty())
            return QString();
        const QString path = absolutePath(m_options.output);
        if (endsWithSeparator(m_options.output) || QFileInfo(path).isDir())
            return QDir(path).filePath(defaultName);
        return path;
    }

    bool checkOutput(const QString &output, QString *error) const
    {
        if (output.isEmpty())
            return true;
        if (const Error refusal = checkOutputMovie(output)) {
            *error = refusal.text();
            return false;
        }
        return checkWritableDirectory(QFileInfo(output).absolutePath(), error);
    }

    int decode()
    {
        const QString movie = m_options.movies.first();
        QString reason;
        if (!checkDecodeInputs(movie, &reason) || !prepareWorkDir(m_workDir, true, &reason))
            return error(reason);
        return finish(decodeStage(movie, m_workDir));
    }

    int process()
    {
        QString reason;
        if (!prepareWorkDir(m_workDir, false, &reason))
            return error(reason);
        return finish(processStage(m_workDir));
    }

    int encode()
    {
        QString reason;
        if (!prepareWorkDir(m_workDir, false, &reason))
            return error(reason);
        if (!haveFfmpeg())
            return error(ffmpegMissingReason());
        if (const int status = checkOutputFolder(false, &reason))
            return error(reason, status);
        const QString output = singleOutput(QStringLiteral("out.mp4"));
        if (!checkOutput(output, &reason))
            return error(reason, ExitUsage);
        if (const Error refusal = output.isEmpty() ? Error() : EncodePlan::checkContainer(output))
            return error(wording(refusal), ExitUsage);
        if (!makeOutputFolder(&reason))
            return error(reason);
        return finish(encodeStage(m_workDir, output) && saved(output.isEmpty() ? WorkFolder(m_workDir).defaultMovie() : output));
    }

    // The output of a movie of all: -o as a file, or, in the directory -o
    // names (by default the work directory), <name>.denoised.<suffix> as in
    // a batch, or <name>.part-K-of-N.<suffix> for a part. --via-frames
    // without -o writes where the window does, out_movies/out.mp4 in the
    // work directory.
    QString allOutput(const QString &movie) const
    {
        if (m_options.viaFrames && m_options.output.isEmpty())
            return WorkFolder(m_workDir).defaultMovie();
        const QString suffix = m_options.viaFrames ? QStringLiteral(".mp4") : m_options.encode.defaultSuffix();
        const QString kind = m_options.part.isPart()
                                 ? QStringLiteral(".part-%1-of-%2").arg(m_options.part.index).arg(m_options.part.count)
                                 : QStringLiteral(".denoised");
        const QString name = movieName(movie) + kind + suffix;
        return m_options.output.isEmpty() ? QDir(m_workDir).filePath(name) : singleOutput(name);
    }

    // -o names a folder that is not there: one ending in / is made (with a
    // line saying so) when the work starts; for a file, or a batch's folder
    // named without /, that is refused before anything starts. Returns
    // ExitOk, or ExitUsage with the reason.
    int checkOutputFolder(bool batch, QString *error) const
    {
        if (m_options.output.isEmpty() || endsWithSeparator(m_options.output))
            return ExitOk;
        const QString path = absolutePath(m_options.output);
        const QString folder = batch || QFileInfo(path).isDir() ? path : QFileInfo(path).absolutePath();
        if (QFileInfo::exists(folder))
            return ExitOk;
        *error = QStringLiteral("folder %1 does not exist; make it first, or end -o with / to have it made")
                     .arg(shown(folder));
        return ExitUsage;
    }

    // Makes the folder that -o ends in / for, with a line saying so.
    bool makeOutputFolder(QString *error)
    {
        if (!endsWithSeparator(m_options.output))
            return true;
        const QString folder = absolutePath(m_options.output);
        if (QFileInfo(folder).isDir())
            return true;
        if (!QDir().mkpath(folder)) {
            *error = QStringLiteral("cannot make the folder %1").arg(shown(folder));
            return false;
        }
        m_sink.log(QStringLiteral(" - Folder made: %1").arg(shown(folder)));
        return true;
    }

    // What must hold of an output before any work: not the movie itself,
    // not replaced without -y, and settings its container can take.
    // Returns ExitOk, or the status to exit with after the message.
    int checkAllOutput(const QString &movie, const QString &output, bool inBatch, QString *error) const
    {
        if (sameFile(movie, output)) {
            *error = QStringLiteral("the output %1 is the movie %2 itself").arg(shown(output), shown(movie));
            return ExitUsage;
        }
        // An output named with -o that may not be written is a wrong
        // command line; out_movies/ of a work directory that is none is the
        // work directory's failure.
        if (!checkOutput(output, error))
            return m_options.output.isEmpty() ? ExitFailed : ExitUsage;
        EncodePlan plan;
        const Error refusal = m_options.viaFrames ? EncodePlan::checkContainer(output)
                                                  : EncodePlan::resolve(m_options.encode, output, &plan);
        if (refusal) {
            *error = wording(refusal);
            return ExitUsage;
        }
        if (!m_options.viaFrames && m_options.part.isPart() && !plan.carriesLabel()) {
            *error = QStringLiteral("a part goes in Matroska or MP4 (.mkv, .mp4, .mov), which carry its label for join");
            return ExitUsage;
        }
        return overwriteStatus(output, inBatch, error);
    }

    int overwriteStatus(const QString &output, bool inBatch, QString *error) const
    {
        if (QFileInfo::exists(output) && !m_options.overwrite && !inBatch) {
            *error = QStringLiteral("%1 already exists; add -y to replace it").arg(shown(output));
            return ExitUsage;
        }
        return ExitOk;
    }

    // One movie through the chosen route into output.
    bool allMovie(const QString &movie, const QString &workDir, const QString &output)
    {
        if (m_options.viaFrames)
            return allStages(movie, workDir, output);
        StreamJob job;
        job.movie = absolutePath(movie);
        job.output = output;
        job.mode = m_options.mode;
        job.quality = m_options.quality;
        job.encode = m_options.encode;
        job.part = m_options.part;
        job.cut = m_options.cut;
        job.replace = m_options.overwrite;
        return denoiseMovie(job, m_sink);
    }

    int allOne()
    {
        const QString movie = m_options.movies.first();
        QString reason;
        if (const int status = checkOutputFolder(false, &reason))
            return error(reason, status);
        if (!checkDecodeInputs(movie, &reason))
            return error(reason);
        const QString output = allOutput(movie);
        if (const int status = checkAllOutput(movie, output, false, &reason))
            return error(reason, status);
        if (m_options.viaFrames && !prepareWorkDir(m_workDir, true, &reason))
            return error(reason);
        if (!makeOutputFolder(&reason))
            return error(reason);
        return finish(allMovie(movie, m_workDir, output) && saved(output));
    }

    // The outputs of a batch, <outdir>/<name>.denoised.<suffix>; empty with
    // the reason when two movies would share one, or one would be written
    // over a movie of the batch (by its path or through a link), which a
    // later step would then read.
    QStringList batchOutputs(const QString &outDir, QString *reason) const
    {
        const QString suffix = m_options.viaFrames ? QStringLiteral(".mp4") : m_options.encode.defaultSuffix();
        QHash<QString, QString> targets;
        QStringList outputs;
        for (const QString &movie : m_options.movies) {
            const QString output = QDir(outDir).filePath(movieName(movie) + QStringLiteral(".denoised") + suffix);
            if (targets.contains(output)) {
                *reason = QStringLiteral("%1 and %2 would both be written to %3")
                              .arg(shown(targets.value(output)), shown(movie), shown(output));
                return {};
            }
            targets.insert(output, movie);
            outputs << output;
        }
        for (const QString &output : outputs) {
            for (const QString &movie : m_options.movies) {
                if (absolutePath(movie) == output || sameFile(movie, output)) {
                    *reason = QStringLiteral("%1 would be written over %2, a movie of this batch")
                                  .arg(shown(output), shown(movie));
                    return {};
                }
            }
        }
        return outputs;
    }

    // Every movie of a batch checked before the first starts: ExitOk, or
    // the status to exit with, each problem noted.
    int checkBatch(const QStringList &outputs)
    {
        int status = ExitOk;
        QStringList problems;
        QString reason;
        for (int i = 0; i < m_options.movies.size(); ++i) {
            const QString &movie = m_options.movies.at(i);
            MovieInfo info;
            Error refusal = checkMovie(movie);
            if (!refusal)
                refusal = probeMovie(movie, &info);
            if (refusal)
                problems << wording(refusal);
            else if (const int outputStatus = checkAllOutput(movie, outputs.at(i), true, &reason)) {
                problems << reason;
                status = qMax(status, outputStatus);
            }
        }
        if (problems.isEmpty())
            return ExitOk;
        for (const QString &problem : problems)
            m_sink.note(problem);
        return error(QStringLiteral("nothing was started: %1 of %2 movies cannot be done as asked")
                         .arg(problems.size()).arg(m_options.movies.size()),
                     status == ExitOk ? ExitFailed : status);
    }

    // One movie of a batch; with --via-frames in a work directory of its own.
    bool batchMovie(const QString &movie, const QString &output)
    {
        if (!m_options.viaFrames)
            return allMovie(movie, m_workDir, output);
        QTemporaryDir workDir(QDir(m_workDir).filePath(QStringLiteral("nocta-%1-XXXXXX").arg(movieName(movie))));
        if (!workDir.isValid()) {
            m_sink.logFailure(QStringLiteral(" - Skipped: cannot create a work directory in %1 (%2).")
                                  .arg(shown(m_workDir), workDir.errorString()));
            return false;
        }
        workDir.setAutoRemove(!m_options.keep);
        const bool ok = allMovie(movie, workDir.path(), output);
        if (m_options.keep)
            m_sink.log(QStringLiteral(" - Work directory kept: %1").arg(shown(workDir.path())));
        return ok;
    }

    // Several movies, each written to <outdir>/<name>.denoised.<suffix>;
    // with --via-frames each in a work directory of its own under the work
    // directory. Every movie is checked before the first starts. A movie
    // whose result is there already is skipped (unless -y), so that a batch
    // run again goes on where it stopped. A movie that fails is reported and
    // the others still run.
    // Several movies, each written to <outdir>/<name>.denoised.<suffix>;
    // with --via-frames each in a work directory of its own under the work
    // directory. Every movie is checked before the first starts. A movie
    // whose result is there already is skipped (unless -y), so that a batch
    // run again goes on where it stopped. A movie that fails is reported and
    // the others still run.
    int allBatch()
    {
        QString reason;
        if (const int status = checkOutputFolder(true, &reason))
            return error(reason, status);
        const QString outDir = absolutePath(m_options.output.isEmpty() ? m_workDir : m_options.output);
        if (QFileInfo(outDir).exists() && !QFileInfo(outDir).isDir())
            return error(QStringLiteral("-o must name a directory for several movies; %1 is a file").arg(shown(outDir)),
                         ExitUsage);
        const QStringList outputs = batchOutputs(outDir, &reason);
        if (outputs.isEmpty())
            return error(reason, ExitUsage);
        if (!haveFfmpeg())
            return error(ffmpegMissingReason());
        if (const int status = checkBatch(outputs))
            return status;
        if (!checkWritableDirectory(outDir, &reason))
            return error(reason, ExitUsage);
        if (m_options.viaFrames && !prepareWorkDir(m_workDir, true, &reason))
            return error(reason);
        if (!makeOutputFolder(&reason))
            return error(reason);

        const int count = int(m_options.movies.size());
        QStringList failed;
        int skipped = 0;
        int done = 0;
        for (int i = 0; i < count && !m_stop; ++i, ++done) {
            const QString &movie = m_options.movies.at(i);
            m_sink.log(QStringLiteral(" - Movie %1 of %2: %3").arg(i + 1).arg(count).arg(shown(movie)));
            if (QFileInfo::exists(outputs.at(i)) && !m_options.overwrite) {
                m_sink.log(QStringLiteral(" - Skipped: %1 is there already (-y replaces it)").arg(shown(outputs.at(i))));
                ++skipped;
            } else if (batchMovie(movie, outputs.at(i))) {
                m_sink.log(QStringLiteral(" - Saved %1").arg(shown(outputs.at(i))));
            } else if (!m_stop) {
                failed << movie;
            } else {
                break;
            }
        }
        if (m_stop && done < count)
            return interrupted();
        if (failed.isEmpty()) {
            m_sink.note(batchSummary(count, skipped, outDir));
            return ExitOk;
        }
        QStringList names;
        for (const QString &movie : failed)
            names << shown(movie);
        m_sink.note(QStringLiteral("%1 of %2 movies failed: %3").arg(failed.size()).arg(count).arg(names.join(QStringLiteral(", "))));
        return ExitFailed;
    }

    // What a batch with no failure did.
    static QString batchSummary(int count, int skipped, const QString &outDir)
    {
        if (skipped == 0)
            return QStringLiteral("all %1 movies denoised into %2").arg(count).arg(shown(outDir));
        if (skipped == count)
            return QStringLiteral("%1 movies already denoised in %2, skipped; nothing to do (-y does them again)")
                .arg(count).arg(shown(outDir));
        return QStringLiteral("%1 denoised, %2 skipped (already denoised) in %3")
            .arg(count - skipped).arg(skipped).arg(shown(outDir));
    }

    // The parts in order into one movie. Everything is checked before
    // ffmpeg starts: the parts make one movie, the sound comes from that
    // movie, and the output is none of them and may be written.
    int join()
    {
        if (!haveFfmpeg())
            return error(ffmpegMissingReason());
        QString reason;
        QStringList parts;
        for (const QString &part : m_options.movies) {
            if (const Error refusal = checkMovie(part))
                return error(refusal.text());
            parts << absolutePath(part);
        }
        if (const Error refusal = m_options.audioFrom.isEmpty() ? Error() : checkMovie(m_options.audioFrom))
            return error(refusal.text());
        if (findFfprobe().isEmpty())
            return error(QStringLiteral("join reads the parts' labels with ffprobe: ffprobe not found on PATH "
                                        "(it comes with FFmpeg)"));
        JoinPlan plan;
        if (const Error refusal = planJoin(parts, m_options.audioFrom.isEmpty() ? QString() : absolutePath(m_options.audioFrom),
                                           m_options.encode.audio, &plan))
            return error(wording(refusal), ExitUsage);

        const PartLabel &first = plan.parts.first();
        const QString output = singleOutput(movieName(first.sourcePath) + QStringLiteral(".denoised.")
                                            + QFileInfo(first.path).suffix());
        // Nothing join reads or is told of: a part, the movie where the parts
        // say it was, the one the sound comes from, the one --audio-from
        // names (read or not).
        const QString audioFrom = m_options.audioFrom.isEmpty() ? QString() : absolutePath(m_options.audioFrom);
        for (const QString &input : parts + QStringList{plan.streamSource, first.sourcePath, audioFrom}) {
            if (!input.isEmpty() && (absolutePath(input) == output || sameFile(input, output)))
                return error(QStringLiteral("the output %1 is %2 itself").arg(shown(output), shown(input)), ExitUsage);
        }
        if (QFileInfo::exists(output) && !m_options.overwrite)
            return error(QStringLiteral("%1 already exists; add -y to replace it").arg(shown(output)), ExitUsage);
        if (QFileInfo(output).suffix().isEmpty() || !containerTakes(first.path, output, 0, QStringLiteral("copy")))
            return error(QStringLiteral("the container of %1 cannot hold the parts' video; name it like them (.%2)")
                             .arg(shown(output), QFileInfo(first.path).suffix()),
                         ExitUsage);
        if (!checkOutput(output, &reason))
            return error(reason, ExitUsage);
        return finish(joinParts(plan, output, m_sink, m_options.overwrite));
    }

    // Makes the demo clip with ffmpeg's lavfi sources. Returns an empty
    // string on success, else the reason.
    QString makeDemoClip(const QString &path)
    {
        const QString reason = runFfmpeg(QFileInfo(path).absolutePath(),
                                         {QStringLiteral("-nostdin"), QStringLiteral("-loglevel"), QStringLiteral("error"),
                                          QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"),
                                          QLatin1String(DemoSource), QStringLiteral("-vf"), QLatin1String(DemoLook),
                                          QStringLiteral("-frames:v"), QString::number(DemoFrames), path});
        if (reason.isEmpty() && QFileInfo(path).size() == 0)
            return QStringLiteral("ffmpeg wrote no movie");
        return reason;
    }

    // A short noisy night clip, denoised in a fresh directory: under
    // --workdir when given, else under the system's temporary directory.
    int demo()
    {
        if (!haveFfmpeg())
            return error(ffmpegMissingReason());
        QString reason;
        const QString parent = m_options.workDir.isEmpty() ? QDir::tempPath() : m_workDir;
        if (!prepareWorkDir(parent, true, &reason))
            return error(reason);
        QTemporaryDir dir(QDir(parent).filePath(QStringLiteral("nocta-demo-XXXXXX")));
        if (!dir.isValid())
            return error(QStringLiteral("cannot create a directory in %1 (%2)").arg(shown(parent), dir.errorString()));

        const QString noisy = dir.filePath(QStringLiteral("night.mp4"));
        const QString denoised = WorkFolder(dir.path()).defaultMovie();
        reason = makeDemoClip(noisy);
        if (!reason.isEmpty())
            return error(QStringLiteral("could not make the demo clip: %1").arg(reason));
        m_sink.log(QStringLiteral(" - Night clip made."));
        if (!allStages(noisy, dir.path(), QString()))
            return finish(false);

        dir.setAutoRemove(false);
        std::cout << "Noisy movie:    " << shown(noisy).toLocal8Bit().constData() << '\n'
                  << "Denoised movie: " << shown(denoised).toLocal8Bit().constData() << '\n'
                  << std::flush;
        return ExitOk;
    }

    // One picture to choose a mode by: see previewPicture().
    int preview()
    {
        const QString movie = m_options.movies.first();
        QString reason;
        if (!checkDecodeInputs(movie, &reason))
            return error(reason);
        const QString output = m_options.output.isEmpty()
                                   ? absolutePath(movieName(movie) + QStringLiteral(".preview.png"))
                                   : singleOutput(movieName(movie) + QStringLiteral(".preview.png"));
        if (sameFile(movie, output))
            return error(QStringLiteral("the output %1 is the movie %2 itself").arg(shown(output), shown(movie)), ExitUsage);
        if (!checkWritableDirectory(QFileInfo(output).absolutePath(), &reason))
            return error(reason);
        if (const int status = overwriteStatus(output, false, &reason))
            return error(reason, status);
        MoviePreview frames;
        try {
            if (const Error failure = previewMovie(absolutePath(movie), m_options.at, m_options.quality, &frames))
                return error(wording(failure));
        } catch (const std::bad_alloc &) {
            return error(QStringLiteral("out of memory"));
        }
        if (m_stop)
            return interrupted();
        const QImage picture = previewPicture(frames);
        QSaveFile file(output);
        if (!file.open(QIODevice::WriteOnly) || !picture.save(&file, "PNG") || !file.commit())
            return error(QStringLiteral("cannot write %1: %2").arg(shown(output), file.errorString()));
        m_sink.log(QStringLiteral(" - Preview of frame %1 (%2 s) saved to %3, %4x%5")
                       .arg(frames.frameIndex + 1).arg(frames.seconds, 0, 'f', 2).arg(shown(output))
                       .arg(picture.width()).arg(picture.height()));
        return ExitOk;
    }

    const Options &m_options;
    TerminalSink &m_sink;
    const std::atomic_bool &m_stop;
    const QString m_workDir;
};

} // namespace

int runCommand(const Options &options, TerminalSink &sink, const std::atomic_bool &stop)
{
    return Runner(options, sink, stop).run();
}

} // namespace nocta::cli
