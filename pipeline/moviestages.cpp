#include "pipeline/moviestages.h"

#include "pipeline/runsink.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QStandardPaths>

#include <filesystem>
#include <system_error>

namespace nocta {

namespace {

const QString screensDir = QStringLiteral("screens");
const QString processedDir = QStringLiteral("processed");
const QString defaultOutput = QStringLiteral("out_movies/out.mp4");

// How much of ffmpeg's standard error is kept: enough for its last lines,
// bounded however long the encode talks.
constexpr int stderrTail = 16 * 1024;

QDir workDirectory(const QString &workDir)
{
    return QDir(workDir.isEmpty() ? QStringLiteral(".") : workDir);
}

// Files named by a number and the given suffix only: 001.bmp, 1234.bmp.
QRegularExpression numberedName(const QString &suffix)
{
    return QRegularExpression(QStringLiteral("^[0-9]+\\.%1$").arg(suffix),
                              QRegularExpression::CaseInsensitiveOption);
}

QFileInfoList numberedFiles(const QDir &dir, const QString &suffix)
{
    const QRegularExpression pattern = numberedName(suffix);
    QFileInfoList found;
    const QFileInfoList entries = dir.entryInfoList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
    for (const QFileInfo &entry : entries)
        if (pattern.match(entry.fileName()).hasMatch())
            found << entry;
    return found;
}

// Removes the numbered files of one suffix from <workDir>/<subDir>. A
// missing directory holds nothing to remove. On failure names the first
// file that stayed.
bool removeNumbered(const QString &workDir, const QString &subDir, const QString &suffix, QString *error)
{
    const QDir dir(workDirectory(workDir).filePath(subDir));
    if (!dir.exists())
        return true;
    bool ok = true;
    for (const QFileInfo &entry : numberedFiles(dir, suffix)) {
        QFile file(entry.filePath());
        if (!file.remove() && ok) {
            ok = false;
            if (error)
                *error = QStringLiteral("could not remove %1/%2 (%3)")
                             .arg(subDir, entry.fileName(), file.errorString());
        }
    }
    return ok;
}

// Creates <workDir>/<subDir> when it is missing.
bool ensureDirectory(const QString &workDir, const QString &subDir)
{
    const QDir base = workDirectory(workDir);
    return base.mkpath(subDir) && QFileInfo(base.filePath(subDir)).isDir();
}

// The last line of ffmpeg's standard error that says something: progress
// lines and the closing "Conversion failed!" say nothing of the cause.
QString lastMeaningfulLine(const QByteArray &stderrBytes)
{
    const QString text = QString::fromLocal8Bit(stderrBytes);
    const QVector<QStringRef> lines = text.splitRef(QRegularExpression(QStringLiteral("[\r\n]")),
                                                    Qt::SkipEmptyParts);
    for (int i = lines.size() - 1; i >= 0; --i) {
        const QString line = lines.at(i).trimmed().toString();
        if (line.isEmpty() || line.startsWith(QLatin1String("frame=")) || line.startsWith(QLatin1String("size="))
            || line == QLatin1String("Conversion failed!"))
            continue;
        if (line.size() > 300)
            return line.left(300) + QStringLiteral("...");
        return line;
    }
    return QString();
}

// Runs ffmpeg in workDir with its standard input closed and waits for its
// end, however long that takes. Returns an empty string on success, else
// the reason (without the stage's prefix).
QString runFfmpeg(const QString &workDir, const QStringList &arguments)
{
    const QString program = QStandardPaths::findExecutable(ffmpegProgram());
    if (program.isEmpty())
        return QStringLiteral("ffmpeg not found");

    QProcess process;
    process.setProgram(program);
    process.setArguments(arguments);
    process.setWorkingDirectory(workDirectory(workDir).absolutePath());
    // ffmpeg asks on its standard input before it overwrites a file; with
    // nothing to read there it gives up instead of waiting for an answer.
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    QByteArray errors;
    QObject::connect(&process, &QProcess::readyReadStandardError, [&process, &errors] {
        errors += process.readAllStandardError();
        if (errors.size() > 2 * stderrTail)
            errors.remove(0, errors.size() - stderrTail);
    });

    process.start();
    if (!process.waitForStarted(-1))
        return QStringLiteral("ffmpeg could not be started (%1)").arg(process.errorString());
    process.waitForFinished(-1);
    errors += process.readAllStandardError();

    QString reason;
    if (process.exitStatus() == QProcess::CrashExit)
        reason = QStringLiteral("ffmpeg crashed");
    else if (process.exitCode() != 0)
        reason = QStringLiteral("ffmpeg exited with code %1").arg(process.exitCode());
    else
        return QString();

    const QString detail = lastMeaningfulLine(errors);
    if (!detail.isEmpty())
        reason += QStringLiteral(": ") + detail;
    return reason;
}

// A path as an ffmpeg argument that stays relative to ffmpeg's working
// directory: "./" in front keeps a name such as "-x.mp4" from being read as
// an option and "a:b.mp4" from being read as a protocol.
QString relativeArgument(const QString &path)
{
    if (path.isEmpty() || QDir::isAbsolutePath(path))
        return path;
    return QStringLiteral("./") + path;
}

// Renames from over to, replacing a file that is already there.
bool replaceFile(const QString &from, const QString &to, QString *error)
{
#ifdef Q_OS_WIN
    const std::filesystem::path source(from.toStdWString());
    const std::filesystem::path target(to.toStdWString());
#else
    const std::filesystem::path source(QFile::encodeName(from).toStdString());
    const std::filesystem::path target(QFile::encodeName(to).toStdString());
#endif
    std::error_code code;
    std::filesystem::rename(source, target, code);
    if (code && error)
        *error = QString::fromLocal8Bit(code.message().c_str());
    return !code;
}

// A name beside target that no file has yet, with target's suffix so that
// ffmpeg picks the same container: out.mp4 -> out.partial-1a2b3c4d.mp4.
QString temporaryBeside(const QString &target)
{
    const QFileInfo info(target);
    const QString suffix = info.suffix().isEmpty() ? QStringLiteral("mp4") : info.suffix();
    QString candidate;
    do {
        candidate = info.dir().filePath(QStringLiteral("%1.partial-%2.%3")
                                            .arg(info.completeBaseName())
                                            .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'))
                                            .arg(suffix));
    } while (QFileInfo::exists(candidate));
    return candidate;
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

QString ffmpegProgram()
{
#ifdef Q_OS_WIN
    return QStringLiteral("ffmpeg.exe");
#else
    return QStringLiteral("ffmpeg");
#endif
}

QStringList decodeArguments(const QString &moviePath)
{
    // The movie is named by its absolute path (against the current
    // directory): ffmpeg runs in the work directory, and an absolute path can
    // be mistaken neither for an option ("-clip.mp4") nor for a protocol
    // ("a:b.mp4").
    const QString movie = moviePath.isEmpty() ? moviePath : QFileInfo(moviePath).absoluteFilePath();
    return {QStringLiteral("-ss"), QStringLiteral("0:0:0"),
            QStringLiteral("-loglevel"), QStringLiteral("quiet"),
            QStringLiteral("-i"), movie,
            QStringLiteral("-f"), QStringLiteral("image2"),
            QStringLiteral("screens/%03d.bmp")};
}

QStringList encodeArguments(const QString &outputPath)
{
    return {QStringLiteral("-r"), QStringLiteral("29"),
            QStringLiteral("-i"), QStringLiteral("processed/%03d.png"),
            QStringLiteral("-b:v"), QStringLiteral("7500k"),
            QStringLiteral("-pix_fmt"), QStringLiteral("yuv420p"),
            relativeArgument(outputPath)};
}

bool decodeMovie(const QString &moviePath, const QString &workDir, RunSink &sink)
{
    if (moviePath.isEmpty())
        return decodeFailed(sink, QStringLiteral("no movie chosen"));
    const QFileInfo movie(moviePath);
    if (!movie.exists())
        return decodeFailed(sink, QStringLiteral("the movie %1 does not exist").arg(moviePath));
    if (movie.isDir())
        return decodeFailed(sink, QStringLiteral("%1 is a directory, not a movie").arg(moviePath));
    if (QStandardPaths::findExecutable(ffmpegProgram()).isEmpty())
        return decodeFailed(sink, QStringLiteral("ffmpeg not found"));

    if (!ensureDirectory(workDir, screensDir))
        return decodeFailed(sink, QStringLiteral("could not create the directory %1/").arg(screensDir));
    QString error;
    if (!removeNumbered(workDir, screensDir, QStringLiteral("bmp"), &error))
        return decodeFailed(sink, error);

    const QString reason = runFfmpeg(workDir, decodeArguments(moviePath));
    if (!reason.isEmpty())
        return decodeFailed(sink, reason);
    if (numberedFiles(QDir(workDirectory(workDir).filePath(screensDir)), QStringLiteral("bmp")).isEmpty())
        return decodeFailed(sink, QStringLiteral("ffmpeg wrote no frame"));

    sink.log(QStringLiteral(" - Movie decoded."));
    return true;
}

bool encodeMovie(const QString &workDir, RunSink &sink, const QString &outputPath)
{
    const QDir base = workDirectory(workDir);
    if (numberedFiles(QDir(base.filePath(processedDir)), QStringLiteral("png")).isEmpty())
        return encodeFailed(sink, QStringLiteral("no PNG frames in %1/").arg(processedDir));
    if (QStandardPaths::findExecutable(ffmpegProgram()).isEmpty())
        return encodeFailed(sink, QStringLiteral("ffmpeg not found"));

    const QString shownOutput = outputPath.isEmpty() ? defaultOutput : outputPath;
    const QString target = base.absoluteFilePath(shownOutput);
    const QString targetDir = QFileInfo(target).absolutePath();
    if (!QDir().mkpath(targetDir) || !QFileInfo(targetDir).isDir())
        return encodeFailed(sink, QStringLiteral("could not create the directory %1/").arg(QFileInfo(shownOutput).path()));

    // ffmpeg writes a file of its own; the movie takes its final name only
    // once complete, so a failed encode leaves the earlier movie as it was.
    const QString partial = temporaryBeside(target);
    const QString reason = runFfmpeg(workDir, encodeArguments(partial));
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

bool removeStaleOutputs(const QString &workDir, QString *error)
{
    return removeNumbered(workDir, processedDir, QStringLiteral("png"), error);
}

} // namespace nocta
