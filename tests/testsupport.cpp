#include "testsupport.h"

#include "filters/simd.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>

#include <cmath>

namespace nocta::test {

void RecordingSink::setProgress(int framesDone, int framesExpected)
{
    progress << progressPercent(framesDone, framesExpected);
    frameCounts << qMakePair(framesDone, framesExpected);
}

QImage randomFrame(int width, int height, quint32 seed, QImage::Format format)
{
    QImage image(width, height, QImage::Format_ARGB32);
    QRandomGenerator random(seed);
    for (int y = 0; y < height; ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < width; ++x)
            line[x] = random.generate();
    }
    return format == QImage::Format_ARGB32 ? image : image.convertToFormat(format);
}

quality::PlaneF randomPlane(QRandomGenerator &random, int width, int height, float from, float span)
{
    quality::PlaneF p;
    p.reset(width, height, 8);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            p.row(y)[x] = from + span * float(random.generateDouble());
    p.fillBorder();
    return p;
}

QImage noisyNightFrame(int width, int height, int index, quint32 seed)
{
    QImage image(width, height, QImage::Format_RGB32);
    QRandomGenerator random(seed * 7919u + quint32(index));
    for (int y = 0; y < height; ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            // A dim scene: soft gradients, a moving bright square, street-light blobs.
            double base = 18 + 14 * std::sin((x + 3 * index) * 0.05) + 10 * std::cos(y * 0.07);
            const bool square = ((x - 2 * index) % 64 + 64) % 64 < 20 && (y % 48) < 16;
            if (square)
                base += 90;
            auto noisy = [&](double v, int spread) {
                const int n = int(random.bounded(2 * spread + 1)) - spread;
                return qBound(0, int(v) + n, 255);
            };
            line[x] = qRgb(noisy(base * 1.1, 24), noisy(base, 18), noisy(base * 0.8 + 6, 30));
        }
    }
    return image;
}

bool writeNightFrames(const QString &dir, int count, int width, int height, quint32 seed, const char *suffix)
{
    if (!QDir().mkpath(dir))
        return false;
    for (int i = 0; i < count; ++i) {
        const QString path = QStringLiteral("%1/%2.%3").arg(dir).arg(i + 1, 3, 10, QLatin1Char('0')).arg(QLatin1String(suffix));
        if (!noisyNightFrame(width, height, i, seed).save(path))
            return false;
    }
    return true;
}

bool damageFrame(const QString &path, const QString &how)
{
    QByteArray bytes = readFile(path);
    if (how == QLatin1String("truncate"))
        return writeFile(path, bytes.left(bytes.size() - 7));
    if (how == QLatin1String("huge")) {
        for (int field : {18, 22}) {
            bytes[field] = char(0xFF);
            bytes[field + 1] = char(0xFF);
        }
        return writeFile(path, bytes.left(4096));
    }
    if (how == QLatin1String("resize"))
        return noisyNightFrame(20, 12, 6, 5).save(path, "BMP");
    if (how == QLatin1String("unreadable"))
        return QFile::remove(path) && QFile::link(QStringLiteral("/proc/self/mem"), path);
    return false;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString findFfmpeg()
{
    return QStandardPaths::findExecutable(QStringLiteral("ffmpeg"));
}

bool runProgram(const QString &program, const QStringList &arguments, QString *output, int timeoutMs)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setStandardInputFile(QProcess::nullDevice());
    process.start(program, arguments);
    if (!process.waitForStarted(timeoutMs))
        return false;
    const bool finished = process.waitForFinished(timeoutMs);
    if (output)
        *output = QString::fromLocal8Bit(process.readAll());
    if (!finished) {
        process.kill();
        process.waitForFinished();
        return false;
    }
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

bool makeNightClip(const QString &path, int frames, int width, int height)
{
    const QString source = QStringLiteral("testsrc2=size=%1x%2:rate=25").arg(width).arg(height);
    const QString look = QStringLiteral("eq=brightness=-0.35:contrast=0.6,noise=alls=24:allf=t+u,format=yuv420p");
    return runProgram(QStringLiteral("ffmpeg"),
                      {"-y", "-loglevel", "error", "-f", "lavfi", "-i", source, "-vf", look,
                       "-frames:v", QString::number(frames), "-c:v", "libx264", "-qp", "10", path});
}

bool makeFlashMovie(const QString &path, const QString &audioCodec, int frames, const QStringList &videoOptions)
{
    QString flashes, beeps;
    for (int frame : FlashFrames) {
        flashes += QStringLiteral("%1eq(n,%2)").arg(flashes.isEmpty() ? "" : "+").arg(frame);
        beeps += QStringLiteral("%1between(t,%2,%3)").arg(beeps.isEmpty() ? "" : "+")
                     .arg(double(frame) / FlashRate).arg(double(frame + 1) / FlashRate - 0.001);
    }
    QStringList arguments{"-y", "-loglevel", "error", "-f", "lavfi", "-i",
                          QStringLiteral("testsrc2=size=64x48:rate=%1,eq=brightness=-0.4:contrast=0.5,"
                                         "noise=alls=20:allf=t,drawbox=c=white:t=fill:enable='%2'").arg(FlashRate).arg(flashes)};
    if (!audioCodec.isEmpty())
        arguments << "-f" << "lavfi" << "-i"
                  << QStringLiteral("aevalsrc='(%1)*sin(2*PI*1000*t)':s=48000:d=%2").arg(beeps).arg(double(frames) / FlashRate)
                  << "-c:a" << audioCodec;
    arguments << "-frames:v" << QString::number(frames) << videoOptions << path;
    return runProgram(QStringLiteral("ffmpeg"), arguments);
}

double firstBeep(const QString &movie, const QString &dir)
{
    const QString raw = dir + "/sound.raw";
    if (!runProgram(QStringLiteral("ffmpeg"), {"-y", "-loglevel", "error", "-i", movie, "-map", "0:a:0", "-ac", "1",
                                               "-ar", "48000", "-f", "s16le", raw}))
        return -1;
    const QByteArray bytes = readFile(raw);
    const auto *samples = reinterpret_cast<const qint16 *>(bytes.constData());
    for (int i = 0; i < bytes.size() / 2; ++i)
        if (std::abs(samples[i]) > 8000)
            return double(i) / 48000;
    return -1;
}

int brightestFrame(const QString &dir)
{
    const QStringList names = QDir(dir).entryList({"*.bmp"}, QDir::Files, QDir::Name);
    int best = -1;
    qint64 bestSum = -1;
    for (int i = 0; i < names.size(); ++i) {
        const QImage image(dir + "/" + names.at(i));
        qint64 sum = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                sum += qGray(image.pixel(x, y));
        if (sum > bestSum) {
            bestSum = sum;
            best = i;
        }
    }
    return best;
}

bool decodeWithFfmpeg(const QString &movie, const QString &dir)
{
    QDir().mkpath(dir);
    return runProgram(QStringLiteral("ffmpeg"),
                      {"-y", "-loglevel", "error", "-i", movie, "-f", "image2", dir + "/%03d.bmp"});
}

int countMovieFrames(const QString &movie)
{
    QString output;
    if (!runProgram(QStringLiteral("ffprobe"),
                    {"-v", "error", "-count_frames", "-select_streams", "v:0",
                     "-show_entries", "stream=nb_read_frames", "-of", "csv=p=0", movie},
                    &output))
        return -1;
    bool ok = false;
    const int n = output.trimmed().toInt(&ok);
    return ok ? n : -1;
}

StandInFfmpeg::StandInFfmpeg(const QByteArray &script, bool withFfprobe)
{
    if (!m_dir.isValid())
        return;
    const QString program = m_dir.filePath(QStringLiteral("ffmpeg"));
    if (!script.isEmpty()
        && !(writeFile(program, script)
             && QFile::setPermissions(program, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                                   | QFileDevice::ReadGroup | QFileDevice::ExeGroup)))
        return;
    if (withFfprobe) {
        const QString ffprobe = QStandardPaths::findExecutable(QStringLiteral("ffprobe"));
        if (ffprobe.isEmpty() || !QFile::link(ffprobe, m_dir.filePath(QStringLiteral("ffprobe"))))
            return;
    }
    m_valid = true;
}

bool StandInFfmpeg::add(const QString &name, const QByteArray &script)
{
    const QString program = m_dir.filePath(name);
    if (script.isEmpty()) {
        const QString real = QStandardPaths::findExecutable(name);
        return !real.isEmpty() && QFile::link(real, program);
    }
    return writeFile(program, script)
        && QFile::setPermissions(program, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

QString CliRun::describe() const
{
    return QStringLiteral("exit %1\n--- stdout:\n%2--- stderr:\n%3").arg(exitCode).arg(out, err);
}

QString cliProgram()
{
    const QByteArray binaryDir = qgetenv("NOCTA_BINARY_DIR");
    const QString dir = binaryDir.isEmpty() ? QCoreApplication::applicationDirPath() : QString::fromLocal8Bit(binaryDir);
    return QDir(dir).filePath(QStringLiteral("nocta-cli"));
}

void startCli(QProcess &process, const QStringList &arguments, const QString &workingDir, const QString &path,
              const QString &launcher)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
    environment.remove(QStringLiteral("DISPLAY"));
    environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
    if (!path.isNull())
        environment.insert(QStringLiteral("PATH"), path);
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(workingDir);
    process.setStandardInputFile(QProcess::nullDevice());
    if (launcher.isEmpty())
        process.start(cliProgram(), arguments);
    else
        process.start(launcher, QStringList{cliProgram()} + arguments);
}

CliRun finishCli(QProcess &process, int timeoutMs)
{
    CliRun run;
    if (!process.waitForStarted(30000))
        return run;
    run.finished = process.waitForFinished(timeoutMs);
    if (!run.finished) {
        process.kill();
        process.waitForFinished();
    }
    run.exitCode = process.exitCode();
    run.exitStatus = process.exitStatus();
    run.out = QString::fromLocal8Bit(process.readAllStandardOutput());
    run.err = QString::fromLocal8Bit(process.readAllStandardError());
    return run;
}

CliRun runCli(const QStringList &arguments, const QString &workingDir, const QString &path)
{
    QProcess process;
    startCli(process, arguments, workingDir, path);
    return finishCli(process);
}

ScopedPath::ScopedPath(const QString &path) : m_saved(qgetenv("PATH"))
{
    qputenv("PATH", QFile::encodeName(path));
}

ScopedPath::~ScopedPath()
{
    qputenv("PATH", m_saved);
}

QByteArray diskFullEncoder()
{
    return "#!/bin/sh\n"
           "for a; do last=$a; done\n"
           "printf 'the first part of a movie' > \"$last\"\n"
           "printf 'frame=   10 fps=0.0 q=0.0 size=       0kB\\r' >&2\n"
           "echo \"Error writing trailer of $last: No space left on device\" >&2\n"
           "echo 'video:660kB audio:0kB subtitle:0kB other streams:0kB' >&2\n"
           "echo \"Error closing file $last: No space left on device\" >&2\n"
           "echo '[libx264 @ 0x55d0c0de] kb/s:3915.25' >&2\n"
           "exit 0\n";
}

QString firstDifference(const QImage &expected, const QImage &actual)
{
    if (expected.size() != actual.size())
        return QStringLiteral("size %1x%2, expected %3x%4")
            .arg(actual.width()).arg(actual.height()).arg(expected.width()).arg(expected.height());
    for (int y = 0; y < expected.height(); ++y)
        for (int x = 0; x < expected.width(); ++x) {
            const QRgb e = expected.pixel(x, y) | 0xFF000000u;
            const QRgb a = actual.pixel(x, y) | 0xFF000000u;
            if (e != a)
                return QStringLiteral("pixel (%1, %2) is %3, expected %4")
                    .arg(x).arg(y).arg(a, 8, 16, QLatin1Char('0')).arg(e, 8, 16, QLatin1Char('0'));
        }
    return QString();
}

QString videoEntry(const QString &movie, const QString &entry)
{
    QString output;
    if (!runProgram(QStringLiteral("ffprobe"), {"-v", "error", "-select_streams", "v:0", "-show_entries",
                                                "stream=" + entry, "-of", "csv=p=0", movie},
                    &output))
        return QString();
    return output.trimmed();
}

QString framesDifference(const QString &expectedDir, const QString &actualDir)
{
    const QStringList filters{"*.bmp", "*.png"};
    const QStringList expected = QDir(expectedDir).entryList(filters, QDir::Files, QDir::Name);
    const QStringList actual = QDir(actualDir).entryList(filters, QDir::Files, QDir::Name);
    if (expected.isEmpty() || expected.size() != actual.size())
        return QStringLiteral("%1 frames, expected %2").arg(actual.size()).arg(expected.size());
    for (int i = 0; i < expected.size(); ++i) {
        const QString difference = firstDifference(QImage(QDir(expectedDir).filePath(expected.at(i))),
                                                   QImage(QDir(actualDir).filePath(actual.at(i))));
        if (!difference.isEmpty())
            return QStringLiteral("frame %1: %2").arg(i + 1).arg(difference);
    }
    return QString();
}

QString movieDifference(const QString &expected, const QString &actual, const QString &dir)
{
    static int serial = 0;
    const QString expectedDir = QDir(dir).filePath(QStringLiteral("expected-%1").arg(++serial));
    const QString actualDir = QDir(dir).filePath(QStringLiteral("actual-%1").arg(serial));
    if (!decodeWithFfmpeg(expected, expectedDir) || !decodeWithFfmpeg(actual, actualDir))
        return QStringLiteral("cannot decode %1 or %2").arg(expected, actual);
    return framesDifference(expectedDir, actualDir);
}

QString kernelCopyProblem(bool *cannotRun)
{
    *cannotRun = false;
    const QByteArray wanted = qgetenv("NOCTA_CPU");
    if (wanted.isEmpty())
        return QString();
    for (KernelLevel level : {KernelLevel::Baseline, KernelLevel::Avx2, KernelLevel::Avx512}) {
        if (wanted != kernelLevelName(level))
            continue;
        if (!canRunKernels(level)) {
            *cannotRun = true;
            return QStringLiteral("this processor cannot run the %1 kernels").arg(QLatin1String(wanted));
        }
        if (kernelLevel() != level)
            return QStringLiteral("NOCTA_CPU=%1, but the %2 kernels run")
                .arg(QLatin1String(wanted), QLatin1String(kernelLevelName(kernelLevel())));
        return QString();
    }
    return QStringLiteral("NOCTA_CPU=%1 names no kernel copy").arg(QLatin1String(wanted));
}

QMap<QString, QByteArray> outputOfEveryKernelCopy(const QString &function)
{
    QMap<QString, QByteArray> outputs;
    for (KernelLevel level : {KernelLevel::Baseline, KernelLevel::Avx2, KernelLevel::Avx512}) {
        if (!canRunKernels(level))
            continue;
        const QString name = QLatin1String(kernelLevelName(level));
        QProcess child;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("NOCTA_CPU"), name);
        environment.insert(QStringLiteral("NOCTA_KERNEL_CHILD"), QStringLiteral("1"));
        child.setProcessEnvironment(environment);
        child.start(QCoreApplication::applicationFilePath(), {function});
        const bool ended = child.waitForFinished(120000);
        if (!ended)
            child.kill();
        const bool passed = ended && child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0;
        outputs.insert(name, passed ? child.readAllStandardOutput() : QByteArray());
    }
    return outputs;
}

bool isKernelCopyChild()
{
    return !qEnvironmentVariableIsEmpty("NOCTA_KERNEL_CHILD");
}

} // namespace nocta::test
