#include "cli/runner.h"

#include "cli/terminalsink.h"
#include "pipeline/core/error.h"
#include "pipeline/core/safefile.h"
#include "pipeline/frames/workfolder.h"
#include "pipeline/movie/encodeplan.h"
#include "pipeline/movie/ffmpegrun.h"
#include "pipeline/movie/movieprobe.h"
#include "pipeline/movie/moviestages.h"
#include "pipeline/movie/moviestream.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QTemporaryDir>

namespace nocta::cli {

// The output of a movie of all: -o as a file, or, in the directory -o
// names (by default the work directory), <name>.denoised.<suffix> as in
// a batch, or <name>.part-K-of-N.<suffix> for a part. --via-frames
// without -o writes where the window does, out_movies/out.mp4 in the
// work directory.
QString Runner::allOutput(const QString &movie) const
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

// What must hold of an output before any work: not the movie itself,
// not replaced without -y, and settings its container can take.
// Returns ExitOk, or the status to exit with after the message.
int Runner::checkAllOutput(const QString &movie, const QString &output, bool inBatch, QString *error) const
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

// One movie through the chosen route into output.
bool Runner::allMovie(const QString &movie, const QString &workDir, const QString &output)
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

int Runner::allOne()
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
QStringList Runner::batchOutputs(const QString &outDir, QString *reason) const
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
int Runner::checkBatch(const QStringList &outputs)
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
bool Runner::batchMovie(const QString &movie, const QString &output)
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

namespace {

// What a batch with no failure did.
QString batchSummary(int count, int skipped, const QString &outDir)
{
    if (skipped == 0)
        return QStringLiteral("all %1 movies denoised into %2").arg(count).arg(shown(outDir));
    if (skipped == count)
        return QStringLiteral("%1 movies already denoised in %2, skipped; nothing to do (-y does them again)")
            .arg(count).arg(shown(outDir));
    return QStringLiteral("%1 denoised, %2 skipped (already denoised) in %3")
        .arg(count - skipped).arg(skipped).arg(shown(outDir));
}

} // namespace

// Several movies, each written to <outdir>/<name>.denoised.<suffix>;
// with --via-frames each in a work directory of its own under the work
// directory. Every movie is checked before the first starts. A movie
// whose result is there already is skipped (unless -y), so that a batch
// run again goes on where it stopped. A movie that fails is reported and
// the others still run.
int Runner::allBatch()
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

} // namespace nocta::cli
