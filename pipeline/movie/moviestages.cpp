#include "pipeline/movie/moviestages.h"

#include "pipeline/core/runsink.h"
#include "pipeline/core/safefile.h"
#include "pipeline/frames/workfolder.h"
#include "pipeline/movie/encodeplan.h"
#include "pipeline/movie/ffmpegrun.h"
#include "pipeline/movie/movieformat.h"
#include "pipeline/movie/movieoutput.h"

#include <QDir>
#include <QFileInfo>

namespace nocta {

namespace {

// A path as an ffmpeg argument that stays relative to ffmpeg's working
// directory: "./" in front keeps a name such as "-x.mp4" from being read as
// an option and "a:b.mp4" from being read as a protocol.
QString relativeArgument(const QString &path)
{
    if (path.isEmpty() || QDir::isAbsolutePath(path))
        return path;
    return QStringLiteral("./") + path;
}

// Asked while ffmpeg runs: the sink's stop request.
StopRequest stopOf(const RunSink &sink)
{
    return [&sink] { return sink.stopRequested(); };
}

} // namespace

Error checkMovie(const QString &moviePath)
{
    const QFileInfo movie(moviePath);
    const QString shown = QDir::toNativeSeparators(moviePath);
    QString why;
    if (moviePath.isEmpty())
        why = QStringLiteral("no movie chosen");
    else if (!movie.exists())
        why = QStringLiteral("%1: no such file").arg(shown);
    else if (movie.isDir())
        why = QStringLiteral("%1 is a directory, not a movie").arg(shown);
    else if (!movie.isFile())
        why = QStringLiteral("%1 is %2, not a movie file").arg(shown, fileKind(moviePath));
    else if (!movie.isReadable())
        why = QStringLiteral("%1 cannot be read").arg(shown);
    else
        return checkMovieFormat(moviePath);
    return Error::failed(Error::Stage::Decoding, why);
}

QStringList decodeArguments(const QString &moviePath, FfmpegLog log)
{
    // The movie is named by its absolute path (against the current
    // directory): ffmpeg runs in the work folder, and an absolute path can
    // be mistaken neither for an option ("-clip.mp4") nor for a protocol
    // ("a:b.mp4").
    const QString movie = moviePath.isEmpty() ? moviePath : QFileInfo(moviePath).absoluteFilePath();
    return {QStringLiteral("-ss"), QStringLiteral("0:0:0"),
            QStringLiteral("-loglevel"), log == FfmpegLog::Errors ? QStringLiteral("error") : QStringLiteral("quiet"),
            QStringLiteral("-i"), movie,
            QStringLiteral("-f"), QStringLiteral("image2"),
            WorkFolder::decodePattern()};
}

QStringList encodeArguments(const QString &outputPath, FfmpegLog log)
{
    QStringList arguments{QStringLiteral("-r"), EncodePlan::windowRate(),
                          QStringLiteral("-i"), WorkFolder::encodePattern(),
                          QStringLiteral("-b:v"), EncodePlan::windowBitrate(),
                          QStringLiteral("-pix_fmt"), QStringLiteral("yuv420p"),
                          relativeArgument(outputPath)};
    if (log == FfmpegLog::Errors)
        arguments = QStringList{QStringLiteral("-loglevel"), QStringLiteral("error")} + arguments;
    return arguments;
}

namespace {

Error decode(const QString &moviePath, const WorkFolder &folder, RunSink &sink, FfmpegLog log)
{
    const auto failed = [](const QString &detail) { return Error::failed(Error::Stage::Decoding, detail); };
    if (Error error = checkMovie(moviePath))
        return error;
    if (findFfmpeg().isEmpty())
        return failed(ffmpegMissingReason());
    if (!folder.makeScreens())
        return failed(QStringLiteral("could not create the directory %1/").arg(WorkFolder::screensName()));
    if (Error error = folder.removeDecodedFrames())
        return error;
    const Fault fault = runFfmpeg(folder.path(), decodeArguments(moviePath, log), stopOf(sink));
    if (sink.stopRequested())
        return Error::stopped(Error::Stage::Decoding);
    if (fault)
        return fault.error(Error::Stage::Decoding);
    if (folder.decodedFrames().isEmpty())
        return failed(QStringLiteral("ffmpeg wrote no frame"));
    return Error();
}

Error encode(const WorkFolder &folder, RunSink &sink, const QString &outputPath, FfmpegLog log, bool replace)
{
    const auto failed = [](const QString &detail) { return Error::failed(Error::Stage::Encoding, detail); };
    if (folder.outputFrames().isEmpty())
        return failed(QStringLiteral("no PNG frames in %1/").arg(WorkFolder::processedName()));
    // ffmpeg would stop at a gap and make a shorter movie without a word.
    int frames = 0;
    if (Error error = folder.encoderFrameCount(&frames))
        return error;
    if (findFfmpeg().isEmpty())
        return failed(ffmpegMissingReason());

    // ffmpeg writes a file of its own; the movie takes its final name only
    // once complete, so a failed encode leaves the earlier movie as it was.
    const QString shownOutput = outputPath.isEmpty() ? WorkFolder::defaultMovieName() : outputPath;
    MovieOutput output(folder.filePath(shownOutput), Error::Stage::Encoding, shownOutput);
    output.setStopCheck(stopOf(sink));
    output.setReplace(replace);
    if (Error error = output.open())
        return error;
    const Fault fault = runFfmpeg(folder.path(), encodeArguments(output.partial(), log), stopOf(sink));
    if (sink.stopRequested())
        return Error::stopped(Error::Stage::Encoding);
    if (fault)
        return fault.error(Error::Stage::Encoding);
    return output.commit(frames);
}

// Logs the stage's end: its error's line, or done.
bool finish(const Error &error, RunSink &sink, const QString &done)
{
    if (error) {
        sink.logFailure(error.line());
        return false;
    }
    sink.log(done);
    return true;
}

} // namespace

bool decodeMovie(const QString &moviePath, const QString &workDir, RunSink &sink, FfmpegLog log)
{
    return finish(decode(moviePath, WorkFolder(workDir), sink, log), sink, QStringLiteral(" - Movie decoded."));
}

bool encodeMovie(const QString &workDir, RunSink &sink, const QString &outputPath, FfmpegLog log, bool replace)
{
    return finish(encode(WorkFolder(workDir), sink, outputPath, log, replace), sink, QStringLiteral(" - Movie created."));
}

} // namespace nocta
