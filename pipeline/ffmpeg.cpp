#include "pipeline/ffmpeg.h"

#include <QRegularExpression>
#include <QStandardPaths>

#ifdef Q_OS_LINUX
#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>
#endif

namespace nocta {

namespace {

// How much of ffmpeg's error stream is kept: enough for its last lines,
// bounded however long it talks.
constexpr int ErrorTailBytes = 16 * 1024;

// How often a waiting call looks at the stop check.
constexpr int PollMs = 100;

// Lines of the error stream that say nothing of a cause: progress lines
// and the closing "Conversion failed!".
bool saysNothing(const QString &line)
{
    return line.isEmpty() || line.startsWith(QLatin1String("frame=")) || line.startsWith(QLatin1String("size="))
        || line == QLatin1String("Conversion failed!");
}

} // namespace

// QProcess with one addition in the child, between fork and exec: on Linux
// the kernel kills ffmpeg when the thread that started it goes, so that a
// killed program leaves no ffmpeg running.
class FfmpegProcess::Process : public QProcess
{
protected:
    void setupChildProcess() override
    {
#ifdef Q_OS_LINUX
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parentId)   // the parent went before the line above
            ::_exit(127);
#endif
    }

public:
#ifdef Q_OS_LINUX
    pid_t parentId = ::getpid();
#endif
};

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
    return QStandardPaths::findExecutable(QStringLiteral("ffprobe.exe"));
#else
    return QStandardPaths::findExecutable(QStringLiteral("ffprobe"));
#endif
}

FfmpegProcess::FfmpegProcess(Tool tool) : m_tool(tool), m_process(new Process) {}

FfmpegProcess::~FfmpegProcess()
{
    stop();
}

void FfmpegProcess::setWorkingDirectory(const QString &directory)
{
    m_process->setWorkingDirectory(directory);
}

void FfmpegProcess::setInput(Input input)
{
    m_input = input;
}

void FfmpegProcess::setOutput(Output output)
{
    m_output = output;
}

void FfmpegProcess::setStopCheck(std::function<bool()> stopRequested)
{
    m_stopCheck = std::move(stopRequested);
}

bool FfmpegProcess::start(const QStringList &arguments)
{
    const QString program = m_tool == Tool::Ffmpeg ? findFfmpeg() : findFfprobe();
    if (program.isEmpty()) {
        m_startFailure = m_tool == Tool::Ffmpeg ? ffmpegMissingReason()
                                                : QStringLiteral("ffprobe not found on PATH (it comes with FFmpeg)");
        return false;
    }
    m_process->setProgram(program);
    m_process->setArguments(arguments);
    // ffmpeg asks on its standard input before it overwrites a file; with
    // nothing to read there it gives up instead of waiting for an answer.
    if (m_input == Input::Closed)
        m_process->setStandardInputFile(QProcess::nullDevice());
    if (m_output == Output::Discarded)
        m_process->setStandardOutputFile(QProcess::nullDevice());
    QObject::connect(m_process.get(), &QProcess::readyReadStandardError, [this] { collectErrors(); });

    m_process->start();
    if (!m_process->waitForStarted(-1)) {
        m_startFailure = QStringLiteral("ffmpeg could not be started (%1)").arg(m_process->errorString());
        return false;
    }
    m_started = true;
    return true;
}

bool FfmpegProcess::isRunning() const
{
    return m_process->state() != QProcess::NotRunning;
}

qint64 FfmpegProcess::processId() const
{
    return m_process->processId();
}

bool FfmpegProcess::write(const char *data, qint64 size)
{
    if (!isRunning() || m_process->write(data, size) != size)
        return false;
    while (m_process->bytesToWrite() > 0) {
        if (stopRequested())
            return false;
        if (!m_process->waitForBytesWritten(PollMs) && !isRunning())
            return false;
    }
    return true;
}

void FfmpegProcess::closeInput()
{
    m_process->closeWriteChannel();
}

qint64 FfmpegProcess::read(char *data, qint64 size)
{
    qint64 got = 0;
    while (got < size) {
        if (m_process->bytesAvailable() == 0) {
            if (stopRequested())
                break;
            if (!m_process->waitForReadyRead(PollMs) && m_process->bytesAvailable() == 0) {
                if (!isRunning())
                    break;
                continue;
            }
        }
        const qint64 n = m_process->read(data + got, size - got);
        if (n < 0)
            break;
        got += n;
    }
    return got;
}

QByteArray FfmpegProcess::readAll()
{
    QByteArray all;
    char chunk[16384];
    qint64 n;
    while ((n = read(chunk, sizeof chunk)) > 0)
        all.append(chunk, int(n));
    return all;
}

bool FfmpegProcess::waitForFinished()
{
    if (!m_started)
        return false;
    while (isRunning()) {
        if (stopRequested()) {
            stop();
            return false;
        }
        m_process->waitForFinished(PollMs);
    }
    collectErrors();
    return failureReason().isEmpty();
}

void FfmpegProcess::stop()
{
    if (!m_started || !isRunning())
        return;
    m_process->terminate();
    if (!m_process->waitForFinished(3000)) {
        m_process->kill();
        m_process->waitForFinished(-1);
    }
    collectErrors();
}

void FfmpegProcess::collectErrors()
{
    m_errors += m_process->readAllStandardError();
    if (m_errors.size() > 2 * ErrorTailBytes)
        m_errors.remove(0, m_errors.size() - ErrorTailBytes);
}

QStringList FfmpegProcess::errorLines(int count) const
{
    const QString text = QString::fromLocal8Bit(m_errors);
    const QVector<QStringRef> lines = text.splitRef(QRegularExpression(QStringLiteral("[\r\n]")), Qt::SkipEmptyParts);
    QStringList found;
    for (int i = lines.size() - 1; i >= 0 && found.size() < count; --i) {
        QString line = lines.at(i).trimmed().toString();
        if (saysNothing(line))
            continue;
        if (line.size() > 300)
            line = line.left(300) + QStringLiteral("...");
        found.prepend(line);
    }
    return found;
}

QString FfmpegProcess::failureReason() const
{
    if (!m_startFailure.isEmpty())
        return m_startFailure;
    if (!m_started)
        return QStringLiteral("ffmpeg was not started");
    if (isRunning())
        return QStringLiteral("ffmpeg is still running");

    QString reason;
    if (m_process->exitStatus() == QProcess::CrashExit)
        reason = QStringLiteral("ffmpeg crashed");
    else if (m_process->exitCode() != 0)
        reason = QStringLiteral("ffmpeg exited with code %1").arg(m_process->exitCode());
    else
        return QString();
    const QStringList detail = errorLines(1);
    if (!detail.isEmpty())
        reason += QStringLiteral(": ") + detail.first();
    return reason;
}

QString runFfmpeg(const QString &directory, const QStringList &arguments)
{
    FfmpegProcess ffmpeg;
    ffmpeg.setWorkingDirectory(directory);
    if (!ffmpeg.start(arguments))
        return ffmpeg.failureReason();
    ffmpeg.waitForFinished();
    return ffmpeg.failureReason();
}

} // namespace nocta
