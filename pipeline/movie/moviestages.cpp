#include "pipeline/movie/moviestages.h"

#include "pipeline/core/runsink.h"
#include "pipeline/core/safefile.h"
#include "pipeline/frames/workfolder.h"
#include "pipeline/movie/encodeplan.h"
#include "pipeline/movie/ffmpeg.h"
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

bool decodeFailed(RunSink &sink, const QString &reason)
{
    sink.logFailure(QStringLiteral(" - Decoding failed: %1.").arg(reason));
    return false;
}

bool encodeFailed(RunSink &sink, const QString &reason)
{
    sink.logFailure(QStringLiteral(" - Encoding failed: %1.").arg(reason));
    return false;
}

// Asked while ffmpeg runs: the sink's stop request.
StopRequest stopOf(const RunSink &sink)
{
    return [&sink] { return sink.stopRequested(); };
}

} // namespace

bool checkMovie(const QString &moviePath, QString *error)
{
    const QFileInfo movie(moviePath);
    const QString shown = QDir::toNativeSeparators(moviePath);
    if (moviePath.isEmpty())
        *error = QStringLiteral("no movie chosen");
    else if (!movie.exists())
        *error = QStringLiteral("%1: no such file").arg(shown);
    else if (movie.isDir())
        *error = QStringLiteral("%1 is a directory, not a movie").arg(shown);
    else if (!movie.isFile())
        *error = QStringLiteral("%1 is %2, not a movie file").arg(shown, fileKind(moviePath));
    else if (!movie.isReadable())
        *error = QStringLiteral("%1 cannot be read").arg(shown);
    else
        return true;
    return false;
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

bool decodeMovie(const QString &moviePath, const QString &workDir, RunSink &sink, FfmpegLog log)
{
    QString error;
    if (!checkMovie(moviePath, &error))
        return decodeFailed(sink, error);
    if (findFfmpeg().isEmpty())
        return decodeFailed(sink, ffmpegMissingReason());

    const WorkFolder folder(workDir);
    if (!folder.makeScreens())
        return decodeFailed(sink, QStringLiteral("could not create the directory %1/").arg(WorkFolder::screensName()));
    if (!folder.removeDecodedFrames(&error))
        return decodeFailed(sink, error);

    const QString reason = runFfmpeg(folder.path(), decodeArguments(moviePath, log), stopOf(sink));
    if (sink.stopRequested()) {
        sink.logFailure(QStringLiteral(" - Decoding stopped."));
        return false;
    }
    if (!reason.isEmpty())
        return decodeFailed(sink, reason);
    if (folder.decodedFrames().isEmpty())
        return decodeFailed(sink, QStringLiteral("ffmpeg wrote no frame"));

    sink.log(QStringLiteral(" - Movie decoded."));
    return true;
}

bool encodeMovie(const QString &workDir, RunSink &sink, const QString &outputPath, FfmpegLog log)
{
    const WorkFolder folder(workDir);
    if (folder.outputFrames().isEmpty())
        return encodeFailed(sink, QStringLiteral("no PNG frames in %1/").arg(WorkFolder::processedName()));
    QString error;
    // ffmpeg would stop at a gap and make a shorter movie without a word.
    const int frames = folder.encoderFrameCount(&error);
    if (frames < 0)
        return encodeFailed(sink, error);
    if (findFfmpeg().isEmpty())
        return encodeFailed(sink, ffmpegMissingReason());

    // ffmpeg writes a file of its own; the movie takes its final name only
    // once complete, so a failed encode leaves the earlier movie as it was.
    const QString shownOutput = outputPath.isEmpty() ? WorkFolder::defaultMovieName() : outputPath;
    MovieOutput output(folder.filePath(shownOutput), Error::Stage::Encoding, shownOutput);
    if (const Error failure = output.open())
        return encodeFailed(sink, failure.text());
    const QString reason = runFfmpeg(folder.path(), encodeArguments(output.partial(), log), stopOf(sink));
    Error failure;
    if (sink.stopRequested())
        failure = Error::stopped(Error::Stage::Encoding);
    else if (!reason.isEmpty())
        failure = Error::failed(Error::Stage::Encoding, reason);
    else
        failure = output.commit(frames, stopOf(sink));
    if (failure) {
        sink.logFailure(failure.line());
        return false;
    }
    sink.log(QStringLiteral(" - Movie created."));
    return true;
}

} // namespace nocta
