#include "cli/commands.h"
#include "cli/runner.h"

#include "cli/terminalsink.h"
#include "pipeline/core/error.h"
#include "pipeline/frames/workfolder.h"
#include "pipeline/movie/encodeplan.h"
#include "pipeline/movie/ffmpegrun.h"
#include "pipeline/movie/movieoutput.h"
#include "pipeline/movie/moviestages.h"
#include "pipeline/run/processingrun.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryFile>

namespace nocta::cli {

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

namespace {

// True when a file can be created in the existing directory dir.
bool canWriteIn(const QString &dir)
{
    QTemporaryFile probe(QDir(dir).filePath(QStringLiteral(".nocta-probe-XXXXXX")));
    return probe.open();
}

} // namespace

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

Runner::Runner(const Options &options, TerminalSink &sink, const std::atomic_bool &stop)
    : m_options(options), m_sink(sink), m_stop(stop),
      m_workDir(absolutePath(options.workDir.isEmpty() ? QDir::currentPath() : options.workDir))
{
}

int Runner::run()
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

int Runner::error(const QString &text, int status)
{
    m_sink.note(text);
    return status;
}

int Runner::interrupted()
{
    m_sink.note(QStringLiteral("interrupted"));
    return ExitInterrupted;
}

// The stages, each in the given work directory.
bool Runner::decodeStage(const QString &movie, const QString &workDir)
{
    return decodeMovie(absolutePath(movie), workDir, m_sink, FfmpegLog::Errors);
}

bool Runner::processStage(const QString &workDir)
{
    RunOptions options;
    options.quality = m_options.quality;
    return processMovie(workDir, m_options.mode, m_sink, options).ok();
}

// encode replaces an earlier movie, as the window's "Code movie" does;
// all does only with -y.
bool Runner::encodeStage(const QString &workDir, const QString &output, bool replace)
{
    return encodeMovie(workDir, m_sink, output, FfmpegLog::Errors, replace);
}

// decode, process and encode, stopping at the first that fails.
bool Runner::allStages(const QString &movie, const QString &workDir, const QString &output)
{
    return decodeStage(movie, workDir) && !m_stop && processStage(workDir) && !m_stop
        && encodeStage(workDir, output, m_options.overwrite);
}

// Says where a single movie went, as a batch does for each of its own.
bool Runner::saved(const QString &output)
{
    m_sink.log(QStringLiteral(" - Saved %1").arg(shown(output)));
    return true;
}

// One outcome: a stop that came after the work was done (the movie
// took its name) changes nothing.
int Runner::finish(bool ok)
{
    if (m_stop && !ok)
        return interrupted();
    return ok ? ExitOk : ExitFailed;
}

// -o of a single movie: a file, or a directory that receives
// defaultName. Empty when no -o was given.
QString Runner::singleOutput(const QString &defaultName) const
{
    if (m_options.output.isEmpty())
        return QString();
    const QString path = absolutePath(m_options.output);
    if (endsWithSeparator(m_options.output) || QFileInfo(path).isDir())
        return QDir(path).filePath(defaultName);
    return path;
}

bool Runner::checkOutput(const QString &output, QString *error) const
{
    if (output.isEmpty())
        return true;
    if (const Error refusal = checkOutputMovie(output)) {
        *error = refusal.text();
        return false;
    }
    return checkWritableDirectory(QFileInfo(output).absolutePath(), error);
}

int Runner::decode()
{
    const QString movie = m_options.movies.first();
    QString reason;
    if (!checkDecodeInputs(movie, &reason) || !prepareWorkDir(m_workDir, true, &reason))
        return error(reason);
    return finish(decodeStage(movie, m_workDir));
}

int Runner::process()
{
    QString reason;
    if (!prepareWorkDir(m_workDir, false, &reason))
        return error(reason);
    return finish(processStage(m_workDir));
}

int Runner::encode()
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

// -o names a folder that is not there: one ending in / is made (with a
// line saying so) when the work starts; for a file, or a batch's folder
// named without /, that is refused before anything starts. Returns
// ExitOk, or ExitUsage with the reason.
int Runner::checkOutputFolder(bool batch, QString *error) const
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
bool Runner::makeOutputFolder(QString *error)
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

int Runner::overwriteStatus(const QString &output, bool inBatch, QString *error) const
{
    if (QFileInfo::exists(output) && !m_options.overwrite && !inBatch) {
        *error = QStringLiteral("%1 already exists; add -y to replace it").arg(shown(output));
        return ExitUsage;
    }
    return ExitOk;
}

int runCommand(const Options &options, TerminalSink &sink, const std::atomic_bool &stop)
{
    return Runner(options, sink, stop).run();
}

} // namespace nocta::cli
