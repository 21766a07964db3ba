#include "pipeline/movie/ffmpegrun.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace nocta {

QString ffmpegProgram()
{
#ifdef Q_OS_WIN
    return QStringLiteral("ffmpeg.exe");
#else
    return QStringLiteral("ffmpeg");
#endif
}

QString findFfmpeg()
{
    return QStandardPaths::findExecutable(ffmpegProgram());
}

QString ffmpegMissingReason()
{
    return QStringLiteral("%1 not found on PATH (install FFmpeg or add its directory to PATH)").arg(ffmpegProgram());
}

QString findFfprobe()
{
#ifdef Q_OS_WIN
    const QString name = QStringLiteral("ffprobe.exe");
#else
    const QString name = QStringLiteral("ffprobe");
#endif
    // The ffprobe of the same installation as ffmpeg, else any.
    const QString ffmpeg = findFfmpeg();
    const QString beside = ffmpeg.isEmpty() ? QString() : QFileInfo(ffmpeg).dir().filePath(name);
    return !beside.isEmpty() && QFileInfo(beside).isExecutable() ? beside : QStandardPaths::findExecutable(name);
}

Fault runFfmpeg(const QString &directory, const QStringList &arguments, const StopRequest &stopRequested)
{
    FfmpegProcess ffmpeg;
    ffmpeg.setWorkingDirectory(directory);
    ffmpeg.setStopCheck(stopRequested);
    if (ffmpeg.start(arguments))
        ffmpeg.waitForFinished();
    return ffmpeg.failure();
}

Fault runFfprobe(const QStringList &arguments, QByteArray *output)
{
    FfmpegProcess ffprobe(FfmpegProcess::Tool::Ffprobe);
    ffprobe.setOutput(FfmpegProcess::Output::Pipe);
    if (ffprobe.start(arguments)) {
        *output = ffprobe.readAll();
        if (ffprobe.waitForFinished())
            return Fault();
    }
    const QStringList lines = ffprobe.errorLines(1);
    return lines.isEmpty() ? ffprobe.failure() : Fault::because(lines.first());
}

Error countVideoPackets(const QString &movie, int *packets)
{
    *packets = -1;
    if (findFfprobe().isEmpty())
        return Error();

    const QString unreadable = QStringLiteral("%1 cannot be read").arg(QDir::toNativeSeparators(movie));
    QByteArray output;
    if (const Fault fault = runFfprobe({QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-select_streams"),
                                        QStringLiteral("v:0"), QStringLiteral("-count_packets"),
                                        QStringLiteral("-show_entries"), QStringLiteral("stream=nb_read_packets"),
                                        QStringLiteral("-of"), QStringLiteral("csv=p=0"),
                                        QFileInfo(movie).absoluteFilePath()},
                                       &output))
        return fault.error(Error::Stage::Encoding, unreadable);
    bool isNumber = false;
    *packets = output.trimmed().toInt(&isNumber);
    if (isNumber)
        return Error();
    *packets = -1;
    return Error::failed(Error::Stage::Encoding, unreadable, QStringLiteral("it holds no video"));
}

} // namespace nocta
