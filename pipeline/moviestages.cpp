#include "pipeline/moviestages.h"

#include "pipeline/ffmpeg.h"
#include "pipeline/movieformat.h"
#include "pipeline/runsink.h"
#include "pipeline/safefile.h"
#include "pipeline/workfolder.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSysInfo>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <signal.h>
#include <sys/stat.h>
#endif

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

// This host's name as it appears in the names of partial movies: letters,
// digits, dots and dashes only.
QString hostTag()
{
    QString host = QSysInfo::machineHostName();
    for (QChar &c : host)
        if (!(c.isLetterOrNumber() && c.unicode() < 128) && c != QLatin1Char('.') && c != QLatin1Char('-'))
            c = QLatin1Char('_');
    return host.isEmpty() ? QStringLiteral("localhost") : host;
}

// What partialMovieName() makes of target: <base>.partial-<host>-<pid>-<8 hex>.<suffix>.
QRegularExpression partialPattern(const QFileInfo &target, const QString &suffix)
{
    return QRegularExpression(QStringLiteral("^%1\\.partial-(.+)-([0-9]+)-[0-9a-f]{8}\\.%2$")
                                  .arg(QRegularExpression::escape(target.completeBaseName()),
                                       QRegularExpression::escape(suffix)));
}

QString movieSuffix(const QFileInfo &target)
{
    return target.suffix().isEmpty() ? QStringLiteral("mp4") : target.suffix();
}

// True unless the process is known to be gone.
bool processRuns(qint64 pid)
{
#ifdef Q_OS_UNIX
    return pid > 0 && pid == pid_t(pid) && (::kill(pid_t(pid), 0) == 0 || errno != ESRCH);
#else
    Q_UNUSED(pid);
    return true;
#endif
}

// What a path that is neither a regular file nor a directory is, in words.
QString fileKind(const QString &path)
{
#ifdef Q_OS_UNIX
    struct stat status = {};
    if (::stat(QFile::encodeName(path).constData(), &status) == 0) {
        if (S_ISCHR(status.st_mode))
            return QStringLiteral("a character device");
        if (S_ISBLK(status.st_mode))
            return QStringLiteral("a block device");
        if (S_ISFIFO(status.st_mode))
            return QStringLiteral("a pipe (FIFO)");
        if (S_ISSOCK(status.st_mode))
            return QStringLiteral("a socket");
    }
#else
    Q_UNUSED(path);
#endif
    return QStringLiteral("a special file");
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
        return checkMovieFormat(moviePath, error);
    return false;
}

bool checkOutputMovie(const QString &path, QString *error, QString *target)
{
    const QFileInfo output(path);
    const QString shown = QDir::toNativeSeparators(path);
    QString why;
    if (output.isSymbolicLink() && !output.exists())
        why = QStringLiteral("it is a symbolic link to nothing");
    else if (output.isDir())
        why = QStringLiteral("it is a directory");
    else if (output.exists() && !output.isFile())
        why = QStringLiteral("it is %1").arg(fileKind(path));
    if (!why.isEmpty()) {
        *error = QStringLiteral("cannot write the movie to %1: %2").arg(shown, why);
        return false;
    }
    if (target)
        *target = output.isSymbolicLink() ? output.canonicalFilePath() : path;
    return true;
}

QString partialMovieName(const QString &target)
{
    const QFileInfo info(target);
    QString candidate;
    do {
        candidate = info.dir().filePath(QStringLiteral("%1.partial-%2-%3-%4.%5")
                                            .arg(info.completeBaseName(), hostTag())
                                            .arg(QCoreApplication::applicationPid())
                                            .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'))
                                            .arg(movieSuffix(info)));
    } while (QFileInfo::exists(candidate) || QFileInfo(candidate).isSymbolicLink());
    return candidate;
}

void removeStalePartialMovies(const QString &target)
{
    const QFileInfo info(target);
    const QRegularExpression pattern = partialPattern(info, movieSuffix(info));
    const QString host = hostTag();
    const QDir dir = info.dir();
    const QStringList names = dir.entryList({info.completeBaseName() + QStringLiteral(".partial-*")},
                                            QDir::Files | QDir::Hidden | QDir::System);
    for (const QString &name : names) {
        const QRegularExpressionMatch match = pattern.match(name);
        if (match.hasMatch() && match.captured(1) == host && !processRuns(match.captured(2).toLongLong()))
            QFile::remove(dir.filePath(name));
    }
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
    QStringList arguments{QStringLiteral("-r"), QStringLiteral("29"),
                          QStringLiteral("-i"), WorkFolder::encodePattern(),
                          QStringLiteral("-b:v"), QStringLiteral("7500k"),
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

    const QString shownOutput = outputPath.isEmpty() ? WorkFolder::defaultMovieName() : outputPath;
    QString target;
    if (!checkOutputMovie(folder.filePath(shownOutput), &error, &target))
        return encodeFailed(sink, error);
    const QString targetDir = QFileInfo(target).absolutePath();
    if (!QDir().mkpath(targetDir) || !QFileInfo(targetDir).isDir())
        return encodeFailed(sink, QStringLiteral("could not create the directory %1/").arg(QFileInfo(shownOutput).path()));

    // ffmpeg writes a file of its own; the movie takes its final name only
    // once complete, so a failed encode leaves the earlier movie as it was.
    removeStalePartialMovies(target);
    const QString partial = partialMovieName(target);
    const auto fail = [&](const QString &reason) {
        QFile::remove(partial);
        return encodeFailed(sink, reason);
    };
    const auto stopped = [&] {
        if (!sink.stopRequested())
            return false;
        QFile::remove(partial);
        sink.logFailure(QStringLiteral(" - Encoding stopped."));
        return true;
    };
    const QString reason = runFfmpeg(folder.path(), encodeArguments(partial, log), stopOf(sink));
    if (stopped())
        return false;
    if (!reason.isEmpty())
        return fail(reason);
    const QFileInfo written(partial);
    if (!written.isFile() || written.size() == 0)
        return fail(QStringLiteral("ffmpeg wrote no movie"));

    // ffmpeg's word is not enough: the movie must open and hold every frame.
    const int packets = countVideoPackets(partial, &error);
    if (packets == -1)
        return fail(QStringLiteral("the new movie cannot be read (%1)").arg(error));
    if (packets >= 0 && packets != frames)
        return fail(QStringLiteral("the new movie holds %1 of the %2 frames").arg(packets).arg(frames));
    if (!syncFile(partial, &error))
        return fail(QStringLiteral("could not write the new movie to the disk (%1)").arg(error));
    if (stopped())
        return false;
    if (!replaceFile(partial, target, &error))
        return fail(QStringLiteral("could not replace %1 (%2)").arg(shownOutput, error));

    sink.log(QStringLiteral(" - Movie created."));
    return true;
}

} // namespace nocta
