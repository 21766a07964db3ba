#include "pipeline/moviestages.h"

#include "pipeline/ffmpeg.h"
#include "pipeline/runsink.h"
#include "pipeline/safefile.h"
#include "pipeline/workfolder.h"

#include <QDir>
#include <QFile>
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
    else if (!movie.isReadable())
        *error = QStringLiteral("%1 cannot be read").arg(shown);
    else
        return true;
    return false;
}

QStringList decodeArguments(const QString &moviePath)
{
    // The movie is named by its absolute path (against the current
    // directory): ffmpeg runs in the work folder, and an absolute path can
    // be mistaken neither for an option ("-clip.mp4") nor for a protocol
    // ("a:b.mp4").
    const QString movie = moviePath.isEmpty() ? moviePath : QFileInfo(moviePath).absoluteFilePath();
    return {QStringLiteral("-ss"), QStringLiteral("0:0:0"),
            QStringLiteral("-loglevel"), QStringLiteral("quiet"),
            QStringLiteral("-i"), movie,
            QStringLiteral("-f"), QStringLiteral("image2"),
            WorkFolder::decodePattern()};
}

QStringList encodeArguments(const QString &outputPath)
{
    return {QStringLiteral("-r"), QStringLiteral("29"),
            QStringLiteral("-i"), WorkFolder::encodePattern(),
            QStringLiteral("-b:v"), QStringLiteral("7500k"),
            QStringLiteral("-pix_fmt"), QStringLiteral("yuv420p"),
            relativeArgument(outputPath)};
}

bool decodeMovie(const QString &moviePath, const QString &workDir, RunSink &sink)
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

    const QString reason = runFfmpeg(folder.path(), decodeArguments(moviePath));
    if (!reason.isEmpty())
        return decodeFailed(sink, reason);
    if (folder.decodedFrames().isEmpty())
        return decodeFailed(sink, QStringLiteral("ffmpeg wrote no frame"));

    sink.log(QStringLiteral(" - Movie decoded."));
    return true;
}

bool encodeMovie(const QString &workDir, RunSink &sink, const QString &outputPath)
{
    const WorkFolder folder(workDir);
    if (folder.outputFrames().isEmpty())
        return encodeFailed(sink, QStringLiteral("no PNG frames in %1/").arg(WorkFolder::processedName()));
    if (findFfmpeg().isEmpty())
        return encodeFailed(sink, ffmpegMissingReason());

    const QString shownOutput = outputPath.isEmpty() ? WorkFolder::defaultMovieName() : outputPath;
    const QString target = folder.filePath(shownOutput);
    const QString targetDir = QFileInfo(target).absolutePath();
    if (!QDir().mkpath(targetDir) || !QFileInfo(targetDir).isDir())
        return encodeFailed(sink, QStringLiteral("could not create the directory %1/").arg(QFileInfo(shownOutput).path()));

    // ffmpeg writes a file of its own; the movie takes its final name only
    // once complete, so a failed encode leaves the earlier movie as it was.
    const QString partial = partialPathBeside(target);
    const QString reason = runFfmpeg(folder.path(), encodeArguments(partial));
    if (!reason.isEmpty()) {
        QFile::remove(partial);
        return encodeFailed(sink, reason);
    }
    const QFileInfo written(partial);
    if (!written.isFile() || written.size() == 0) {
        QFile::remove(partial);
        return encodeFailed(sink, QStringLiteral("ffmpeg wrote no movie"));
    }
    QString error;
    if (!replaceFile(partial, target, &error)) {
        QFile::remove(partial);
        return encodeFailed(sink, QStringLiteral("could not replace %1 (%2)").arg(shownOutput, error));
    }

    sink.log(QStringLiteral(" - Movie created."));
    return true;
}

} // namespace nocta
