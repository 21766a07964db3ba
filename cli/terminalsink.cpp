#include "cli/terminalsink.h"

#include <QRegularExpression>
#include <QTime>

#include <cstdio>
#include <iostream>

#ifdef Q_OS_WIN
#include <io.h>
#define NOCTA_ISATTY _isatty
#define NOCTA_FILENO _fileno
#else
#include <unistd.h>
#define NOCTA_ISATTY isatty
#define NOCTA_FILENO fileno
#endif

namespace nocta::cli {

namespace {

constexpr int BarWidth = 24;
constexpr qint64 RedrawMs = 100;       // at most ten bar redraws a second
constexpr qint64 LineEveryMs = 10000;  // a plain line at least every 10 s...
constexpr int LineEveryDecile = 1;     // ...and at every further 10 %
// The time left is told only from the pace of at least this long after the
// first frame: before it, ffmpeg's start and the window's first frames
// would make a short job look long.
constexpr qint64 PaceAfterMs = 1000;

void writeError(const QString &text)
{
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
}

QString duration(qint64 seconds)
{
    if (seconds >= 3600)
        return QStringLiteral("%1:%2:%3")
            .arg(seconds / 3600)
            .arg((seconds / 60) % 60, 2, 10, QLatin1Char('0'))
            .arg(seconds % 60, 2, 10, QLatin1Char('0'));
    return QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

} // namespace

ProgressStyle progressStyleFor(bool quiet)
{
    if (quiet)
        return ProgressStyle::None;
    return NOCTA_ISATTY(NOCTA_FILENO(stderr)) ? ProgressStyle::Bar : ProgressStyle::Lines;
}

TerminalSink::TerminalSink(ProgressStyle style, const std::atomic_bool &stop)
    : m_style(style), m_stop(stop)
{
}

TerminalSink::~TerminalSink()
{
    clearBar();
}

void TerminalSink::log(const QString &message)
{
    clearBar();
    writeError(QTime::currentTime().toString(Qt::TextDate) + message + QLatin1Char('\n'));
    if (m_running)
        drawBar();
}

void TerminalSink::note(const QString &text)
{
    clearBar();
    writeError(QStringLiteral("nocta-cli: ") + text + QLatin1Char('\n'));
    if (m_running)
        drawBar();
}

void TerminalSink::timing(const QString &line)
{
    clearBar();
    // Scripts read "time<N>ms"; a person at a terminal reads words.
    static const QRegularExpression timingLine(QStringLiteral("^time(\\d+)ms$"));
    const QRegularExpressionMatch match = timingLine.match(line);
    if (match.hasMatch() && NOCTA_ISATTY(NOCTA_FILENO(stdout))) {
        const qint64 ms = match.captured(1).toLongLong();
        const QString took = ms < 60000 ? QStringLiteral("%1 s").arg(ms / 1000.0, 0, 'f', 1) : duration(ms / 1000);
        std::cout << QStringLiteral("Processing took %1.").arg(took).toLocal8Bit().constData() << '\n' << std::flush;
        return;
    }
    std::cout << line.toStdString() << '\n' << std::flush;
}

void TerminalSink::setProgressVisible(bool visible)
{
    if (visible) {
        m_running = true;
        m_done = 0;
        m_expected = 0;
        m_lastLineDecile = 0;
        m_lastLineDone = 0;
        m_lastLineMs = 0;
        m_lastDrawMs = -1;
        m_firstFrameMs = -1;
        m_firstFrameDone = 0;
        m_clock.start();
        drawBar();
        return;
    }
    if (!m_running)
        return;
    // The end of a run: the bar goes, and a plain log gets the final count
    // unless its last line already said it.
    if (m_style == ProgressStyle::Lines && m_done > m_lastLineDone)
        printLine();
    clearBar();
    m_running = false;
}

void TerminalSink::setProgress(int framesDone, int framesExpected)
{
    m_done = framesDone;
    m_expected = framesExpected;
    if (m_firstFrameMs < 0 && m_done > 0) {
        m_firstFrameMs = m_clock.elapsed();
        m_firstFrameDone = m_done;
    }
    if (m_style == ProgressStyle::Bar) {
        const qint64 now = m_clock.elapsed();
        const bool last = m_expected > 0 && m_done >= m_expected;
        if (last || m_lastDrawMs < 0 || now - m_lastDrawMs >= RedrawMs)
            drawBar();
    } else if (m_style == ProgressStyle::Lines) {
        const qint64 now = m_clock.elapsed();
        if (shownPercent() / 10 >= m_lastLineDecile + LineEveryDecile || now - m_lastLineMs >= LineEveryMs)
            printLine();
    }
}

// Share of the output frames done.
int TerminalSink::shownPercent() const
{
    return m_expected > 0 ? qBound(0, int(qint64(m_done) * 100 / m_expected), 100) : 0;
}

// "36/80 frames (45%), 21.4 fps, 0:02 left"; "80/80 frames (100%),
// finishing..." while the last frames are written.
QString TerminalSink::summary() const
{
    const qint64 now = m_clock.elapsed();
    const double seconds = now / 1000.0;
    const double fps = seconds > 0 ? m_done / seconds : 0.0;
    QString text = m_expected > 0 ? QStringLiteral("%1/%2 frames").arg(m_done).arg(m_expected)
                                  : QStringLiteral("%1 frames").arg(m_done);
    text += QStringLiteral(" (%1%)").arg(shownPercent(), 3);
    if (m_expected > 0 && m_done >= m_expected)
        return text + QStringLiteral(", finishing...");
    if (m_done == 0 || seconds <= 0) {
        text += QStringLiteral(", -- fps");
        return text;
    }
    text += QStringLiteral(", %1 fps").arg(fps, 0, 'f', 1);
    const qint64 paceMs = now - m_firstFrameMs;
    if (m_expected > 0 && m_firstFrameMs >= 0 && paceMs >= PaceAfterMs && m_done > m_firstFrameDone) {
        const double pace = (m_done - m_firstFrameDone) * 1000.0 / paceMs;
        text += QStringLiteral(", %1 left").arg(duration(qint64(qMax(0, m_expected - m_done) / pace + 0.5)));
    }
    return text;
}

void TerminalSink::drawBar()
{
    if (m_style != ProgressStyle::Bar)
        return;
    m_lastDrawMs = m_clock.elapsed();
    const int filled = qBound(0, m_expected > 0 ? int(qint64(m_done) * BarWidth / m_expected) : 0, BarWidth);
    const QString bar = QStringLiteral("[%1%2] ").arg(QString(filled, QLatin1Char('#')),
                                                      QString(BarWidth - filled, QLatin1Char('-')));
    // Carriage return, the bar, then clear what a longer earlier bar left.
    writeError(QLatin1Char('\r') + bar + summary() + QStringLiteral("\033[K"));
    m_barShown = true;
}

void TerminalSink::clearBar()
{
    if (!m_barShown)
        return;
    writeError(QStringLiteral("\r\033[K"));
    m_barShown = false;
}

void TerminalSink::printLine()
{
    m_lastLineMs = m_clock.elapsed();
    m_lastLineDecile = shownPercent() / 10;
    m_lastLineDone = m_done;
    writeError(QTime::currentTime().toString(Qt::TextDate) + QStringLiteral(" - ") + summary() + QLatin1Char('\n'));
}

} // namespace nocta::cli
