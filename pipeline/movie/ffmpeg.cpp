#include "pipeline/movie/ffmpeg.h"

#include "pipeline/movie/ffmpegrun.h"

#include <QRegularExpression>
#include <QThread>

#ifdef Q_OS_UNIX
#include <csignal>
#endif

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

// How often a waiting call asks whether to stop.
constexpr int PollMs = 50;

// Lines of the error stream that say nothing of a cause: progress lines,
// the closing "Conversion failed!" and the encoder's statistics.
bool saysNothing(const QString &line)
{
    return line.isEmpty() || line.startsWith(QLatin1String("frame=")) || line.startsWith(QLatin1String("size="))
        || line.startsWith(QLatin1String("video:")) || line.startsWith(QLatin1String("[libx264 @"))
        || line.startsWith(QLatin1String("Last message repeated")) || line == QLatin1String("Conversion failed!");
}

// A line by which ffmpeg reports that its output could not be written. The
// first two come at the end of a run that ffmpeg 5.1 still ends with
// status 0.
bool reportsFailedWrite(const QByteArray &line)
{
    if (!line.contains("rror") && !line.contains("av_interleaved_write_frame"))
        return false;
    static const QRegularExpression pattern(
        QStringLiteral("^(\\[[^]]* @ [^]]*\\] )?(Error writing trailer|Error closing file|av_interleaved_write_frame\\(\\):)"));
    return pattern.match(QString::fromLocal8Bit(line)).hasMatch();
}

// "SIGTERM" for the signals that stop ffmpeg, else "a signal".
QString signalName(int signal)
{
#ifdef Q_OS_UNIX
    switch (signal) {
    case SIGINT:
        return QStringLiteral("SIGINT");
    case SIGTERM:
        return QStringLiteral("SIGTERM");
    case SIGHUP:
        return QStringLiteral("SIGHUP");
    }
#else
    Q_UNUSED(signal);
#endif
    return QStringLiteral("a signal");
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

void FfmpegProcess::setStopCheck(StopRequest stopRequested)
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

bool FfmpegProcess::write(const char *data, qint64 size)
{
    if (!isRunning() || m_process->write(data, size) != size)
        return false;
    while (m_process->bytesToWrite() > 0) {
        if (stopChecked())
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
            if (stopChecked())
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
        if (stopChecked()) {
            m_stopped = true;
            stop();
            return false;
        }
        m_process->waitForFinished(PollMs);
    }
    collectErrors();
    if (stopSignal() != 0)
        awaitOwnStop();
    return !failure();
}

int FfmpegProcess::stopSignal() const
{
#ifdef Q_OS_UNIX
    if (!m_started || isRunning())
        return 0;
    const int code = m_process->exitCode();
    if (m_process->exitStatus() == QProcess::CrashExit)
        return code == SIGINT || code == SIGTERM || code == SIGHUP ? code : 0;
    return code == 255 ? -1 : 0;
#else
    return 0;
#endif
}

// A signal that stopped ffmpeg is most often one to this program's whole
// process group (Ctrl-C), which reaches this program as well: its stop
// request follows in a moment. When it comes, ffmpeg was stopped as asked.
void FfmpegProcess::awaitOwnStop()
{
    for (int waited = 0; waited < 250 && !m_stopped; waited += 10) {
        if (stopChecked())
            m_stopped = true;
        else
            QThread::msleep(10);
    }
}

void FfmpegProcess::stop()
{
    if (!m_started || !isRunning())
        return;
    // ffmpeg waiting on its input pipe heeds no SIGTERM until the read
    // returns: the end of its input comes first.
    if (m_input == Input::Pipe)
        m_process->closeWriteChannel();
    m_process->terminate();
    if (!m_process->waitForFinished(3000)) {
        m_process->kill();
        m_process->waitForFinished(-1);
    }
    collectErrors();
}

void FfmpegProcess::collectErrors()
{
    const QByteArray chunk = m_process->readAllStandardError();
    watchLines(chunk);
    m_errors += chunk;
    if (m_errors.size() > 2 * ErrorTailBytes)
        m_errors.remove(0, m_errors.size() - ErrorTailBytes);
}

// Every line of the error stream is looked at once, however long ffmpeg
// talks, for the first that reports a failed write.
void FfmpegProcess::watchLines(const QByteArray &chunk)
{
    m_partialLine += chunk;
    int start = 0;
    for (int i = 0; i < m_partialLine.size(); ++i) {
        const char c = m_partialLine.at(i);
        if (c != '\n' && c != '\r')
            continue;
        const QByteArray line = m_partialLine.mid(start, i - start).trimmed();
        if (m_writeFailure.isEmpty() && reportsFailedWrite(line))
            m_writeFailure = QString::fromLocal8Bit(line).left(300);
        start = i + 1;
    }
    m_partialLine.remove(0, start);
    if (m_partialLine.size() > ErrorTailBytes)   // no line is that long
        m_partialLine.clear();
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
        // "[mov,mp4,m4a @ 0x55c81f266840] moov atom not found": the address
        // tells the user nothing.
        static const QRegularExpression address(QStringLiteral("^\\[([^]@]*) @ 0x[0-9a-fA-F]+\\] "));
        line.replace(address, QStringLiteral("[\\1] "));
        if (line.size() > 300)
            line = line.left(300) + QStringLiteral("...");
        found.prepend(line);
    }
    return found;
}

Fault FfmpegProcess::failure() const
{
    if (!m_startFailure.isEmpty())
        return Fault::because(m_startFailure);
    if (!m_started)
        return Fault::because(QStringLiteral("ffmpeg was not started"));
    if (m_stopped)
        return Fault::because(QStringLiteral("ffmpeg was stopped"));
    if (isRunning())
        return Fault::because(QStringLiteral("ffmpeg is still running"));

    // A line that reports a failed write is the best reason there is; the
    // encoder's statistics and the end of the run follow it.
    QString writeFailure = m_writeFailure;
    if (writeFailure.isEmpty() && !m_partialLine.isEmpty() && reportsFailedWrite(m_partialLine.trimmed()))
        writeFailure = QString::fromLocal8Bit(m_partialLine.trimmed()).left(300);
    QString reason;
    if (const int signal = stopSignal())
        reason = QStringLiteral("ffmpeg was stopped by %1").arg(signalName(signal));
    else if (m_process->exitStatus() == QProcess::CrashExit)
        reason = QStringLiteral("ffmpeg crashed");
    else if (m_process->exitCode() != 0)
        reason = QStringLiteral("ffmpeg exited with code %1").arg(m_process->exitCode());
    else if (!writeFailure.isEmpty())
        reason = QStringLiteral("ffmpeg could not finish writing");
    else
        return Fault();
    const QStringList detail = writeFailure.isEmpty() ? errorLines(2) : QStringList{writeFailure};
    if (!detail.isEmpty())
        reason += QStringLiteral(": ") + detail.join(QStringLiteral(" / "));
    return Fault::because(reason);
}

} // namespace nocta
