#include "pipeline/moviestream.h"

#include "pipeline/ffmpeg.h"
#include "pipeline/framesource.h"
#include "pipeline/movieformat.h"
#include "pipeline/moviestages.h"
#include "pipeline/movieparts.h"
#include "pipeline/pixelrows.h"
#include "pipeline/runsink.h"
#include "pipeline/safefile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <numeric>
#include <vector>

namespace nocta {

namespace {

// Frames waiting between the decoder and the run, and between the run and
// the encoder: enough to keep all three busy, few enough to keep memory flat.
constexpr std::size_t QueuedFrames = 2;

constexpr int WindowSize = 5;


double seconds(const QJsonValue &value, double fallback = 0.0)
{
    bool ok = false;
    const double v = value.toString().toDouble(&ok);
    return ok ? v : fallback;
}

// One ffmpeg on a thread of its own, and a short queue of frames between
// that thread and the run's. The thread starts ffmpeg itself (on Linux a
// child dies with the thread that started it) and runs until ffmpeg is
// done; halting it makes every wait give up and stops ffmpeg.
class PipeWorker
{
public:
    virtual ~PipeWorker() { halt(); }

    bool start(QString *error)
    {
        m_thread.reset(QThread::create([this] { work(); }));
        m_thread->start();
        if (!m_thread->isRunning() && !m_thread->isFinished()) {
            m_thread.reset();
            *error = QStringLiteral("cannot start a thread");
            return false;
        }
        return true;
    }

protected:
    // The thread's job: ffmpeg from start to end. Returns why it failed,
    // or an empty text.
    virtual QString run(FfmpegProcess &ffmpeg) = 0;

    // Waits for the thread's end.
    void join()
    {
        if (m_thread) {
            m_thread->wait();
            m_thread.reset();
        }
    }

    void halt()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_halt = true;
            m_changed.notify_all();
        }
        join();
    }

    // The producer's side: waits for room. False once the other side is
    // gone (halted, or the thread ended).
    bool push(const QImage &frame)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [this] { return m_queue.size() < QueuedFrames || m_halt || m_ended; });
        if (m_halt || m_ended)
            return false;
        m_queue.push_back(frame);
        m_changed.notify_all();
        return true;
    }

    // The consumer's side: waits for a frame. False when none will come:
    // the queue is closed (or the thread ended) and empty, or halted, or
    // giveUp (asked every 100 ms) says so.
    bool pop(QImage *frame, const std::function<bool()> &giveUp = {})
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        while (m_queue.empty() && !m_closed && !m_ended && !m_halt) {
            if (giveUp && giveUp())
                return false;
            m_changed.wait_for(lock, std::chrono::milliseconds(100));
        }
        if (m_queue.empty() || m_halt)
            return false;
        *frame = std::move(m_queue.front());
        m_queue.pop_front();
        m_changed.notify_all();
        return true;
    }

    // No more frames will be pushed.
    void close()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closed = true;
        m_changed.notify_all();
    }

    bool halted() const { return m_halt; }

    mutable std::mutex m_mutex;
    bool m_ended = false;      // the thread is done with ffmpeg
    QString m_failure;         // why ffmpeg failed; empty when it did not
    std::deque<QImage> m_queue;

private:
    void work()
    {
        FfmpegProcess ffmpeg;
        ffmpeg.setStopCheck([this] { return m_halt.load(); });
        const QString failure = run(ffmpeg);
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_halt)
            m_failure = failure;
        m_ended = true;
        m_changed.notify_all();
    }

    std::unique_ptr<QThread> m_thread;
    std::condition_variable m_changed;
    std::atomic_bool m_halt{false};
    bool m_closed = false;
};

// The decoder: raw frames from ffmpeg's pipe, as images, in movie order.
class DecoderSource : public FrameSource, public PipeWorker
{
public:
    // Gives the frames of plan after its lead, numbered in messages from
    // firstNumber; expected is the count it expects, -1 when unknown.
    DecoderSource(const DecodePlan &plan, const MovieInfo &info, int expected, int firstNumber,
                  std::function<bool()> stopRequested)
        : m_arguments(plan.arguments), m_lead(plan.lead), m_info(info), m_expected(expected),
          m_firstNumber(firstNumber), m_stopRequested(std::move(stopRequested))
    {
    }

    ~DecoderSource() override { halt(); }

    bool next(SourceFrame *frame) override
    {
        QImage image;
        if (!pop(&image, m_stopRequested)) {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (!m_ended && m_stopRequested())
                m_stopped = true;
            return false;
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_given;
        *frame = SourceFrame{image, QStringLiteral("%1").arg(m_given, 3, 10, QLatin1Char('0')),
                             QStringLiteral("frame %1").arg(m_firstNumber + m_given - 1)};
        return true;
    }

    int expectedFrames() const override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const int known = m_given + int(m_queue.size());
        return m_ended ? known : qMax(known, m_expected);
    }

    QString failure() const override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopped)
            return QStringLiteral(" - Processing stopped.");
        return m_failure.isEmpty() ? QString() : QStringLiteral(" - Decoding failed: %1.").arg(m_failure);
    }

    QString noFramesMessage() const override { return QStringLiteral(" - Decoding failed: ffmpeg gave no frame."); }

    // The frames given, and ffmpeg's last complaint about the movie.
    int given() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_given;
    }
    QString complaint() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_complaint;
    }

private:
    QString run(FfmpegProcess &ffmpeg) override
    {
        ffmpeg.setOutput(FfmpegProcess::Output::Pipe);
        if (!ffmpeg.start(m_arguments))
            return ffmpeg.failureReason();
        const qint64 frameBytes = qint64(m_info.width) * m_info.height * 3;
        std::vector<uchar> bytes(std::size_t(frameBytes), 0);
        int lead = m_lead;   // frames before the first wanted one
        while (ffmpeg.read(reinterpret_cast<char *>(bytes.data()), frameBytes) == frameBytes) {
            if (lead > 0) {
                --lead;
                continue;
            }
            const QImage image = imageFromBgr24(bytes.data(), m_info.width, m_info.height);
            if (image.isNull()) {
                ffmpeg.stop();
                return QStringLiteral("out of memory");
            }
            if (!push(image)) {
                ffmpeg.stop();
                return QString();
            }
        }
        if (halted()) {
            ffmpeg.stop();
            return QString();
        }
        if (!ffmpeg.waitForFinished())
            return ffmpeg.failureReason();
        // ffmpeg ends a damaged movie with success where it can no longer
        // read it; what it said on the way is all that tells of the damage.
        const QStringList complaints = ffmpeg.errorLines(1);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_complaint = complaints.value(0);
        return QString();
    }

    const QStringList m_arguments;
    const int m_lead;
    const MovieInfo m_info;
    const int m_expected;
    const int m_firstNumber;
    const std::function<bool()> m_stopRequested;
    int m_given = 0;
    bool m_stopped = false;
    QString m_complaint;   // ffmpeg's last error line of a decode that succeeded
};

// The encoder: denoised frames into ffmpeg's pipe.
class EncoderTarget : public FrameTarget, public PipeWorker
{
public:
    EncoderTarget(const QStringList &arguments, QSize size) : m_arguments(arguments), m_size(size) {}

    ~EncoderTarget() override { halt(); }

    bool put(const QImage &output, const SourceFrame &) override { return push(output); }

    bool finish() override
    {
        close();
        join();
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_failure.isEmpty();
    }

    QString failure() const override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_failure.isEmpty() ? QString() : QStringLiteral(" - Encoding failed: %1.").arg(m_failure);
    }

    int written() const override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_written;
    }

private:
    QString run(FfmpegProcess &ffmpeg) override
    {
        ffmpeg.setInput(FfmpegProcess::Input::Pipe);
        if (!ffmpeg.start(m_arguments))
            return ffmpeg.failureReason();
        std::vector<uchar> bytes(std::size_t(m_size.width()) * std::size_t(m_size.height()) * 3);
        QImage frame;
        int written = 0;
        while (pop(&frame)) {
            imageToRgb24(frame, bytes.data());
            if (!ffmpeg.write(reinterpret_cast<const char *>(bytes.data()), qint64(bytes.size()))) {
                if (halted())
                    break;
                ffmpeg.waitForFinished();
                const QString reason = ffmpeg.failureReason();
                return reason.isEmpty() ? QStringLiteral("ffmpeg stopped reading frames") : reason;
            }
            std::lock_guard<std::mutex> lock(m_mutex);
            m_written = ++written;
        }
        if (halted() || written == 0) {
            // Stopped, or no frame came: there is no movie to finish.
            ffmpeg.stop();
            return QString();
        }
        ffmpeg.closeInput();
        return ffmpeg.waitForFinished() ? QString() : ffmpeg.failureReason();
    }

    const QStringList m_arguments;
    const QSize m_size;
    int m_written = 0;
};

} // namespace

bool parseRate(const QString &text, qint64 *num, qint64 *den)
{
    // "29.97" is 2997/100 exactly, as ffmpeg reads it.
    static const QRegularExpression rate(QStringLiteral("^([0-9]{1,9})(?:\\.([0-9]{1,9})|/([0-9]{1,9}))?$"));
    const QRegularExpressionMatch match = rate.match(text);
    if (!match.hasMatch())
        return false;
    const QString decimals = match.captured(2);
    qint64 n = match.captured(1).toLongLong();
    qint64 d = match.captured(3).isEmpty() ? 1 : match.captured(3).toLongLong();
    for (const QChar digit : decimals) {
        n = n * 10 + digit.digitValue();
        d *= 10;
    }
    if (n <= 0 || d <= 0)
        return false;
    const qint64 common = std::gcd(n, d);
    *num = n / common;
    *den = d / common;
    return true;
}

QString exactRate(const QString &text)
{
    qint64 num = 0, den = 1;
    return parseRate(text, &num, &den) ? QStringLiteral("%1/%2").arg(num).arg(den) : text;
}

QString gridTime(qint64 rateNum, qint64 rateDen, qint64 frame)
{
    const qint64 us = (frame * rateDen * 1000000 + rateNum / 2) / rateNum;
    return QStringLiteral("%1.%2").arg(us / 1000000).arg(us % 1000000, 6, 10, QLatin1Char('0'));
}

bool containerTakes(const QString &movie, const QString &outputPath, int index, const QString &codec)
{
    QTemporaryDir dir;
    if (!dir.isValid())
        return false;
    const QString probe = dir.filePath(QStringLiteral("probe.") + QFileInfo(outputPath).suffix());
    QStringList arguments{QStringLiteral("-nostdin"), QStringLiteral("-loglevel"), QStringLiteral("quiet"),
                          QStringLiteral("-i"), movie, QStringLiteral("-map"), QStringLiteral("0:%1").arg(index),
                          QStringLiteral("-t"), QStringLiteral("0")};
    if (!codec.isEmpty())
        arguments << QStringLiteral("-c") << codec;
    arguments << probe;
    return runFfmpeg(dir.path(), arguments).isEmpty();
}

namespace {

// The pixel shape and the turn of the pictures. ffmpeg turns the frames
// by the display matrix as it decodes them: by a quarter turn either way
// (the frame's width and height change places, and so do the sides of its
// pixels) or by a half turn; other angles keep the frame's size.
void readShape(const QJsonObject &video, MovieInfo *info)
{
    const QStringList sar = video.value(QStringLiteral("sample_aspect_ratio")).toString().split(QLatin1Char(':'));
    const int sarNum = sar.value(0).toInt(), sarDen = sar.value(1).toInt();
    if (sarNum > 0 && sarDen > 0) {
        const int common = std::gcd(sarNum, sarDen);
        info->sarNum = sarNum / common;
        info->sarDen = sarDen / common;
    }
    for (const QJsonValue &entry : video.value(QStringLiteral("side_data_list")).toArray()) {
        const QJsonValue rotation = entry.toObject().value(QStringLiteral("rotation"));
        if (rotation.isDouble())
            info->rotation = ((qRound(rotation.toDouble()) % 360) + 360) % 360;
    }
    if (info->rotation == 90 || info->rotation == 270) {
        std::swap(info->width, info->height);
        std::swap(info->sarNum, info->sarDen);
    }
}

} // namespace

bool probeMovie(const QString &moviePath, MovieInfo *info, QString *error)
{
    QByteArray json;
    if (!runFfprobe({QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-show_entries"),
                     QStringLiteral("format=start_time,duration:stream=index,codec_type,codec_name,width,height,"
                                    "sample_aspect_ratio,r_frame_rate,avg_frame_rate,nb_frames,duration,start_time"
                                    ":stream_side_data=rotation"),
                     QStringLiteral("-of"), QStringLiteral("json"), QFileInfo(moviePath).absoluteFilePath()},
                    &json, error))
        return false;
    const QJsonObject root = QJsonDocument::fromJson(json).object();
    const QJsonObject format = root.value(QStringLiteral("format")).toObject();

    MovieInfo result;
    QJsonObject video;
    for (const QJsonValue &value : root.value(QStringLiteral("streams")).toArray()) {
        const QJsonObject stream = value.toObject();
        const QString type = stream.value(QStringLiteral("codec_type")).toString();
        if (type == QLatin1String("video") && video.isEmpty()) {
            video = stream;
        } else if (type == QLatin1String("audio") || type == QLatin1String("subtitle")) {
            result.others << MovieInfo::Stream{stream.value(QStringLiteral("index")).toInt(), type,
                                               stream.value(QStringLiteral("codec_name")).toString()};
        }
    }
    result.width = video.value(QStringLiteral("width")).toInt();
    result.height = video.value(QStringLiteral("height")).toInt();
    if (video.isEmpty() || result.width <= 0 || result.height <= 0) {
        *error = QStringLiteral("%1 has no video stream").arg(QDir::toNativeSeparators(moviePath));
        return false;
    }
    readShape(video, &result);

    // The rate ffmpeg hands the frames out at: the stream's base rate,
    // unless that is far above its average (a few timestamps in a fine
    // time base), as ffmpeg itself guesses it; 25 when nothing is known.
    qint64 rNum = 0, rDen = 1, aNum = 0, aDen = 1;
    const bool haveR = parseRate(video.value(QStringLiteral("r_frame_rate")).toString(), &rNum, &rDen);
    const bool haveAvg = parseRate(video.value(QStringLiteral("avg_frame_rate")).toString(), &aNum, &aDen);
    if (haveR && !(haveAvg && double(aNum) / aDen < 70 && double(rNum) / rDen > 210)) {
        result.rateNum = rNum;
        result.rateDen = rDen;
    } else if (haveAvg) {
        result.rateNum = aNum;
        result.rateDen = aDen;
    } else {
        result.rateNum = 25;
        result.rateDen = 1;
    }

    const double formatStart = seconds(format.value(QStringLiteral("start_time")));
    const double videoStart = qMax(0.0, seconds(video.value(QStringLiteral("start_time")), formatStart) - formatStart);
    bool counted = false;
    const int frames = video.value(QStringLiteral("nb_frames")).toString().toInt(&counted);
    if (counted && frames > 0) {
        result.frames = frames;
    } else {
        const double duration = seconds(video.value(QStringLiteral("duration")),
                                        seconds(format.value(QStringLiteral("duration"))) - videoStart);
        if (duration > 0)
            result.frames = framesInDuration(duration, result.rate());
    }
    *info = result;
    return true;
}

QStringList EncodeSettings::presets()
{
    return {QStringLiteral("ultrafast"), QStringLiteral("superfast"), QStringLiteral("veryfast"),
            QStringLiteral("faster"), QStringLiteral("fast"), QStringLiteral("medium"),
            QStringLiteral("slow"), QStringLiteral("slower"), QStringLiteral("veryslow")};
}

QString EncodeSettings::defaultSuffix() const
{
    return codec == Codec::Ffv1 ? QStringLiteral(".mkv") : QStringLiteral(".mp4");
}

namespace {

// Why a container cannot hold video of this codec, for the containers
// known to hold only some of them; empty when it can or is not known.
QString containerRefusal(EncodeSettings::Codec codec, const QString &suffix)
{
    static const struct
    {
        const char *suffixes;
        const char *name;
        const char *codecs;   // of h264, h265
    } containers[] = {
        {"webm", "WebM", ""},
        {"ogv,ogg", "Ogg", ""},
        {"flv", "Flash Video (.flv)", "h264"},
    };
    const bool h265 = codec == EncodeSettings::Codec::H265;
    const QString name = h265 ? QStringLiteral("h265") : QStringLiteral("h264");
    for (const auto &container : containers) {
        if (codec == EncodeSettings::Codec::Ffv1
            || !QString::fromLatin1(container.suffixes).split(QLatin1Char(',')).contains(suffix)
            || QString::fromLatin1(container.codecs).split(QLatin1Char(',')).contains(name))
            continue;
        return QStringLiteral("%1 holds no %2: name the output .mp4 or .mkv")
            .arg(QLatin1String(container.name), h265 ? QStringLiteral("H.265") : QStringLiteral("H.264"));
    }
    return QString();
}

} // namespace

bool EncodeSettings::check(const QString &outputPath, QString *error) const
{
    const QString suffix = QFileInfo(outputPath).suffix().toLower();
    if (likeWindow && (codec != Codec::H264 || crf >= 0 || !preset.isEmpty() || !bitrate.isEmpty() || !fps.isEmpty()))
        *error = QStringLiteral("--like-window sets the codec, rate and bit rate itself");
    else if (codec == Codec::Ffv1 && (crf >= 0 || !bitrate.isEmpty() || !preset.isEmpty()))
        *error = QStringLiteral("FFV1 is lossless: --crf, --bitrate and --preset do not apply");
    else if (codec == Codec::Ffv1 && suffix != QLatin1String("mkv") && suffix != QLatin1String("mka")
             && suffix != QLatin1String("avi") && suffix != QLatin1String("nut"))
        *error = QStringLiteral("FFV1 goes in Matroska: name the output .mkv");
    else if (crf >= 0 && !bitrate.isEmpty())
        *error = QStringLiteral("--crf and --bitrate exclude each other");
    else if (crf > 51)
        *error = QStringLiteral("--crf takes 0 to 51");
    else if (!preset.isEmpty() && !presets().contains(preset))
        *error = QStringLiteral("unknown preset '%1'; the presets are %2").arg(preset, presets().join(QStringLiteral(", ")));
    else if (suffix.isEmpty())
        *error = QStringLiteral("the output %1 has no suffix to tell its container (.mp4, .mkv, ...)")
                     .arg(QDir::toNativeSeparators(outputPath));
    else if (!(*error = containerRefusal(likeWindow ? Codec::H264 : codec, suffix)).isEmpty())
        return false;
    else
        return true;
    return false;
}

namespace {

// A decoder of the movie's first video stream into raw frames on ffmpeg's
// standard output, at the movie's own rate, as a decode into numbered files
// gives them, in ffmpeg's bgr24 (the bytes of its 24-bit BMPs); with input
// options before the movie and output options after it.
QStringList rawDecodeArguments(const QString &moviePath, const MovieInfo &info, const QStringList &inputOptions,
                               const QStringList &outputOptions)
{
    return QStringList{QStringLiteral("-nostdin"), QStringLiteral("-loglevel"), QStringLiteral("error")} + inputOptions
        + QStringList{QStringLiteral("-i"), QFileInfo(moviePath).absoluteFilePath(),
                      QStringLiteral("-map"), QStringLiteral("0:v:0")}
        + outputOptions
        + QStringList{QStringLiteral("-r"), info.rateText(), QStringLiteral("-f"), QStringLiteral("rawvideo"),
                      QStringLiteral("-pix_fmt"), QStringLiteral("bgr24"), QStringLiteral("pipe:1")};
}

// How many frames of the rate's grid a decode that seeks starts before its
// span. ffmpeg fills the grid's first place with the first frame it has
// there, which is not the whole decode's frame when that one falls just
// before the grid's start; the frames after it are the same. The margin
// also covers short gaps in a movie of variable rate.
constexpr int LeadFrames = 4;

// The grid place of the first frame ffmpeg decodes after a seek to grid
// frame `from`, in the whole decode's time origin; -1 when it gives none.
// Containers with an index land on the keyframe before; others may land
// anywhere, and the decoder then waits for the next keyframe. Only that
// first frame is decoded: the frames up to `from` are not (-noaccurate_seek).
qint64 firstFrameAfterSeek(const QString &moviePath, const MovieInfo &info, qint64 from)
{
    FfmpegProcess ffmpeg;
    ffmpeg.setOutput(FfmpegProcess::Output::Pipe);
    if (!ffmpeg.start({QStringLiteral("-nostdin"), QStringLiteral("-loglevel"), QStringLiteral("error"),
                       QStringLiteral("-copyts"), QStringLiteral("-start_at_zero"), QStringLiteral("-noaccurate_seek"),
                       QStringLiteral("-ss"), gridTime(info.rateNum, info.rateDen, from),
                       QStringLiteral("-i"), QFileInfo(moviePath).absoluteFilePath(), QStringLiteral("-map"), QStringLiteral("0:v:0"),
                       QStringLiteral("-frames:v"), QStringLiteral("1"), QStringLiteral("-f"), QStringLiteral("framecrc"),
                       QStringLiteral("pipe:1")}))
        return -1;
    const QStringList lines = QString::fromLatin1(ffmpeg.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    if (!ffmpeg.waitForFinished())
        return -1;
    // "#tb 0: 1/25", then "0, dts, pts, duration, size, crc" per frame.
    qint64 tbNum = 0, tbDen = 0;
    for (const QString &line : lines) {
        if (line.startsWith(QLatin1String("#tb 0:"))) {
            parseRate(line.mid(6).trimmed(), &tbNum, &tbDen);
        } else if (!line.startsWith(QLatin1Char('#')) && tbNum > 0) {
            bool ok = false;
            const qint64 pts = line.section(QLatin1Char(','), 2, 2).trimmed().toLongLong(&ok);
            if (!ok)
                return -1;
            return qRound64(double(pts) * double(tbNum) * double(info.rateNum) / (double(tbDen) * double(info.rateDen)));
        }
    }
    return -1;
}

} // namespace

QString lostFrames(const MovieInfo &info, int first, int given, int expected, const QString &complaint)
{
    if (complaint.isEmpty() || expected < 0 || given >= expected)
        return QString();
    // Frames are numbered from 1 in messages.
    const int from = first + given + 1, to = first + expected;
    const auto time = [&info](int frame) { return QString::number(frame / info.rate(), 'f', 2); };
    return QStringLiteral("the movie is damaged: frames %1-%2 (%3-%4 s) could not be decoded (%5)")
        .arg(from).arg(to).arg(time(from - 1), time(to), complaint);
}

QStringList streamDecodeArguments(const QString &moviePath, const MovieInfo &info)
{
    return rawDecodeArguments(moviePath, info, {}, {});
}

DecodePlan planDecode(const QString &moviePath, const MovieInfo &info, const FrameSpan &span)
{
    DecodePlan plan;
    QStringList limit;
    if (span.first <= LeadFrames) {
        if (span.count >= 0)
            limit << QStringLiteral("-frames:v") << QString::number(span.first + span.count);
        plan.arguments = rawDecodeArguments(moviePath, info, {}, limit);
        plan.lead = span.first;
        return plan;
    }

    // The whole decode numbers frames on the rate's grid from the movie's
    // start (ffmpeg's time origin, which -start_at_zero keeps after a
    // seek), filling in or dropping frames to keep to it. The seek's
    // decode starts the same grid at frame `grid`: the output -ss moves
    // the grid's start there, and -fps_mode cfr fills from it.
    const qint64 grid = span.first - LeadFrames;
    QStringList input{QStringLiteral("-copyts"), QStringLiteral("-start_at_zero")};
    for (qint64 back = 1; grid - back > 0; back *= 4) {
        const qint64 from = grid - back;
        const qint64 first = firstFrameAfterSeek(moviePath, info, from);
        if (first >= 0 && first < grid) {
            input << QStringLiteral("-ss") << gridTime(info.rateNum, info.rateDen, from);
            break;
        }
    }
    if (span.count >= 0)
        limit << QStringLiteral("-frames:v") << QString::number(LeadFrames + span.count);
    plan.arguments = rawDecodeArguments(moviePath, info, input,
                                        QStringList{QStringLiteral("-ss"), gridTime(info.rateNum, info.rateDen, grid),
                                                    QStringLiteral("-fps_mode"), QStringLiteral("cfr")} + limit);
    plan.lead = LeadFrames;
    return plan;
}

QList<KeptStream> keptStreams(const QString &movie, const MovieInfo &info, const QString &outputPath, bool audio,
                              RunSink &sink)
{
    QList<KeptStream> streams;
    for (const MovieInfo::Stream &stream : info.others) {
        if (stream.type == QLatin1String("audio") && !audio)
            continue;
        QStringList codecs{QStringLiteral("copy"), QString()};
        if (stream.type == QLatin1String("subtitle"))
            codecs << QStringLiteral("mov_text");
        bool kept = false;
        for (const QString &codec : codecs) {
            if (containerTakes(movie, outputPath, stream.index, codec)) {
                streams << KeptStream{stream, codec, movie, stream.index};
                kept = true;
                break;
            }
        }
        if (!kept)
            sink.log(QStringLiteral(" - Left out stream %1 (%2 %3): the container of %4 cannot hold it")
                         .arg(stream.index).arg(stream.type, stream.codec, QDir::toNativeSeparators(outputPath)));
    }
    return streams;
}

QString encodeSubtitlesAhead(QList<KeptStream> *streams, const QString &dir, const QString &suffix,
                             const std::function<bool()> &stopRequested)
{
    const QString file = QDir(dir).filePath(QStringLiteral("subtitles.") + suffix);
    QStringList maps, codecs;
    QString movie;
    for (const KeptStream &stream : qAsConst(*streams)) {
        if (!stream.isSubtitle() || stream.codec == QLatin1String("copy"))
            continue;
        movie = stream.source;
        if (!stream.codec.isEmpty())
            codecs << QStringLiteral("-c:%1").arg(maps.size() / 2) << stream.codec;
        maps << QStringLiteral("-map") << QStringLiteral("0:%1").arg(stream.index);
    }
    if (maps.isEmpty())
        return QString();
    const QString failure = runFfmpeg(dir, QStringList{QStringLiteral("-nostdin"), QStringLiteral("-loglevel"),
                                                       QStringLiteral("error"), QStringLiteral("-i"), movie}
                                               + maps + codecs + QStringList{file},
                                      stopRequested);
    if (!failure.isEmpty())
        return failure;
    int index = 0;
    for (KeptStream &stream : *streams) {
        if (stream.isSubtitle() && stream.codec != QLatin1String("copy"))
            stream = KeptStream{stream.stream, QStringLiteral("copy"), file, index++};
    }
    return QString();
}

namespace {

// The inputs of the kept streams: each file once for its sound, moved
// earlier, and once for its subtitles, as it is; and for each stream the
// number of its input among them.
QStringList keptInputs(const QList<KeptStream> &streams, double offset, QList<int> *inputOf)
{
    QStringList arguments, keys;
    for (const KeptStream &stream : streams) {
        const QString key = (stream.isSubtitle() ? QLatin1String("as is:") : QLatin1String("moved:")) + stream.source;
        int input = keys.indexOf(key);
        if (input < 0) {
            input = keys.size();
            keys << key;
            if (!stream.isSubtitle())
                arguments << QStringLiteral("-itsoffset") << QString::number(-offset, 'f', 6);
            arguments << QStringLiteral("-i") << QFileInfo(stream.source).absoluteFilePath();
        }
        if (inputOf)
            *inputOf << input;
    }
    return arguments;
}

// The bit stream filter that moves subtitle packets offset seconds
// earlier: a cue that would begin before the start begins with it,
// shortened by as much (to one tick at least).
QString subtitleShift(double offset)
{
    const QString by = QString::number(offset, 'f', 6) + QStringLiteral("/TB");
    const auto moved = [&by](const char *ts) {
        return QStringLiteral("if(eq(%1\\,NOPTS)\\,NOPTS\\,max(%1-%2\\,0))").arg(QLatin1String(ts), by);
    };
    return QStringLiteral("setts=pts=%1:dts=%2:duration=if(lt(PTS\\,%3)\\,max(DURATION+PTS-%3\\,1)\\,DURATION)")
        .arg(moved("PTS"), moved("DTS"), by);
}

} // namespace

QStringList keptStreamInputs(const QList<KeptStream> &streams, double offset)
{
    // The other streams are moved earlier by the time of output frame 0 in
    // the movie (the decoder numbers frames from the movie's start,
    // repeating the first where the picture starts later than the sound).
    // (An input seek would start copied streams at the keyframe before,
    // seconds early in some containers; moving the frames later instead
    // would put them between ticks of their own rate.)
    return keptInputs(streams, offset, nullptr);
}

QStringList keptStreamOutputs(const QList<KeptStream> &streams, double offset, int firstInput, int firstOutput)
{
    QList<int> inputOf;
    keptInputs(streams, offset, &inputOf);
    QStringList arguments;
    for (int i = 0; i < streams.size(); ++i)
        arguments << QStringLiteral("-map") << QStringLiteral("%1:%2").arg(firstInput + inputOf.at(i)).arg(streams.at(i).index);
    // The sound runs to its end, a little past the last frame: cutting
    // it at the shorter stream would cut the picture of a movie whose sound
    // stops early.
    for (int i = 0; i < streams.size(); ++i) {
        if (!streams.at(i).codec.isEmpty())
            arguments << QStringLiteral("-c:%1").arg(firstOutput + i) << streams.at(i).codec;
        if (streams.at(i).isSubtitle())
            arguments << QStringLiteral("-bsf:%1").arg(firstOutput + i) << subtitleShift(offset);
    }
    if (!streams.isEmpty())
        arguments << QStringLiteral("-ss") << QStringLiteral("0");
    return arguments;
}

QStringList streamEncodeArguments(const MovieInfo &info, const EncodeSettings &settings,
                                  const QList<KeptStream> &streams, const QString &outputPath,
                                  const QStringList &metadata)
{
    QString rate = info.rateText();
    if (settings.likeWindow)
        rate = QStringLiteral("29");
    else if (!settings.fps.isEmpty())
        rate = exactRate(settings.fps);

    QStringList arguments{QStringLiteral("-nostdin"), QStringLiteral("-loglevel"), QStringLiteral("error"),
                          QStringLiteral("-f"), QStringLiteral("rawvideo"), QStringLiteral("-pix_fmt"), QStringLiteral("rgb24"),
                          QStringLiteral("-video_size"), QStringLiteral("%1x%2").arg(info.width).arg(info.height),
                          QStringLiteral("-framerate"), rate, QStringLiteral("-i"), QStringLiteral("pipe:0")};
    arguments << keptStreamInputs(streams, 2.0 / info.rate());
    arguments << QStringLiteral("-map") << QStringLiteral("0:v:0");

    const QString suffix = QFileInfo(outputPath).suffix().toLower();
    const bool mp4Family = suffix == QLatin1String("mp4") || suffix == QLatin1String("mov") || suffix == QLatin1String("m4v");
    const QString preset = settings.preset.isEmpty() ? QStringLiteral("medium") : settings.preset;
    if (settings.likeWindow) {
        arguments << QStringLiteral("-c:v") << QStringLiteral("libx264") << QStringLiteral("-b:v") << QStringLiteral("7500k")
                  << QStringLiteral("-pix_fmt") << QStringLiteral("yuv420p");
    } else if (settings.codec == EncodeSettings::Codec::Ffv1) {
        arguments << QStringLiteral("-c:v") << QStringLiteral("ffv1") << QStringLiteral("-level") << QStringLiteral("3")
                  << QStringLiteral("-pix_fmt") << QStringLiteral("bgr0");
    } else {
        const bool h265 = settings.codec == EncodeSettings::Codec::H265;
        arguments << QStringLiteral("-c:v") << (h265 ? QStringLiteral("libx265") : QStringLiteral("libx264"))
                  << QStringLiteral("-preset") << preset;
        if (!settings.bitrate.isEmpty())
            arguments << QStringLiteral("-b:v") << settings.bitrate;
        else
            arguments << QStringLiteral("-crf") << QString::number(settings.crf >= 0 ? settings.crf : (h265 ? 20 : 18));
        arguments << QStringLiteral("-pix_fmt") << QStringLiteral("yuv420p");
        if (h265) {
            arguments << QStringLiteral("-x265-params") << QStringLiteral("log-level=error");
            if (mp4Family)
                arguments << QStringLiteral("-tag:v") << QStringLiteral("hvc1");
        }
    }
    // 4:2:0 needs an even size: a frame of odd width or height gets one
    // black column or row.
    QStringList filters;
    if ((settings.likeWindow || settings.codec != EncodeSettings::Codec::Ffv1) && (info.width % 2 || info.height % 2))
        filters << QStringLiteral("pad=ceil(iw/2)*2:ceil(ih/2)*2");
    // The frames come through the pipe without the shape of their pixels.
    if (!info.squarePixels())
        filters << QStringLiteral("setsar=%1/%2").arg(info.sarNum).arg(info.sarDen);
    if (!filters.isEmpty())
        arguments << QStringLiteral("-vf") << filters.join(QLatin1Char(','));
    arguments << keptStreamOutputs(streams, 2.0 / info.rate());
    for (const QString &entry : metadata)
        arguments << QStringLiteral("-metadata") << entry;
    // MP4 and QuickTime keep tags of their own names only when asked to.
    if (!metadata.isEmpty() && mp4Family)
        arguments << QStringLiteral("-movflags") << QStringLiteral("+use_metadata_tags");
    arguments << QFileInfo(outputPath).absoluteFilePath();
    return arguments;
}

bool denoiseMovie(const StreamJob &job, RunSink &sink)
{
    const QString shownOutput = QDir::toNativeSeparators(job.output);
    MovieInfo info;
    QString error;
    if (!checkMovie(job.movie, &error) || !probeMovie(job.movie, &info, &error)) {
        sink.logFailure(QStringLiteral(" - Decoding failed: %1.").arg(error));
        return false;
    }
    if (!job.encode.check(job.output, &error)) {
        sink.logFailure(QStringLiteral(" - Encoding failed: %1.").arg(error));
        return false;
    }
    sink.log(QStringLiteral(" - Denoising %1: %2x%3, %4 fps, %5 frames")
                 .arg(QDir::toNativeSeparators(job.movie)).arg(info.width).arg(info.height)
                 .arg(info.rate(), 0, 'f', 3 - (info.rateDen == 1 ? 3 : 0))
                 .arg(info.frames >= 0 ? QString::number(info.frames) : QStringLiteral("unknown")));

    // A part takes its share of the frames and no other stream: join adds
    // those. A whole movie keeps its sound and subtitles, unless the frames
    // are timed anew, when neither would keep in step.
    FrameSpan span;
    QStringList metadata;
    QList<KeptStream> streams;
    if (job.part.isPart()) {
        PartPlan plan;
        if (!planPart(job, info, &plan, &error)) {
            sink.logFailure(QStringLiteral(" - Processing failed: %1.").arg(error));
            return false;
        }
        span = plan.frames;
        metadata = plan.tags;
        sink.log(QStringLiteral(" - Part %1 of %2: output frames %3 to %4")
                     .arg(job.part.index).arg(job.part.count).arg(plan.range.first)
                     .arg(plan.range.end >= 0 ? QString::number(plan.range.end - 1) : QStringLiteral("the end")));
    } else if (!job.encode.likeWindow && job.encode.fps.isEmpty()) {
        streams = keptStreams(job.movie, info, job.output, job.encode.audio, sink);
    }
    QTemporaryDir subtitles;
    error = subtitles.isValid() ? encodeSubtitlesAhead(&streams, subtitles.path(), QFileInfo(job.output).suffix(),
                                                       [&sink] { return sink.stopRequested(); })
                                : QStringLiteral("cannot create a temporary directory (%1)").arg(subtitles.errorString());
    if (!error.isEmpty()) {
        sink.logFailure(QStringLiteral(" - Encoding failed: %1.").arg(error));
        return false;
    }

    QString target;
    if (!checkOutputMovie(job.output, &error, &target)) {
        sink.logFailure(QStringLiteral(" - Encoding failed: %1.").arg(error));
        return false;
    }
    if (!QDir().mkpath(QFileInfo(target).absolutePath())) {
        sink.logFailure(QStringLiteral(" - Encoding failed: could not create the directory %1.")
                            .arg(QDir::toNativeSeparators(QFileInfo(target).absolutePath())));
        return false;
    }
    removeStalePartialMovies(target);
    const QString partial = partialMovieName(target);

    const int expected = span.count >= 0 ? span.count : info.frames >= 0 ? qMax(0, info.frames - span.first) : -1;
    RunResult result;
    QString damage;
    {
        DecoderSource source(planDecode(job.movie, info, span), info, expected, span.first + 1,
                             [&sink] { return sink.stopRequested(); });
        EncoderTarget encoder(streamEncodeArguments(info, job.encode, streams, partial, metadata),
                              QSize(info.width, info.height));
        ProcessingRun run(job.mode, sink);
        result = run.exec([&] {
            QString why;
            if (!encoder.start(&why) || !source.start(&why)) {
                run.fail(QStringLiteral(" - Processing failed: %1.").arg(why));
                return;
            }
            run.slide(source, encoder);
        });
        damage = lostFrames(info, span.first, source.given(), expected, source.complaint());
    }
    if (!result.ok()) {
        QFile::remove(partial);
        return false;
    }
    // A damaged movie gives what could be decoded. A part that is not the
    // last is of no use short, nor is an empty movie; the rest is written.
    const bool whole = result.framesWritten > 0 && (span.count < 0 || result.framesWritten == span.count - (WindowSize - 1));
    if (!damage.isEmpty() && !whole) {
        QFile::remove(partial);
        sink.logFailure(QStringLiteral(" - Decoding failed: %1.").arg(damage));
        return false;
    }
    if (result.framesWritten == 0) {
        QFile::remove(partial);
        if (job.part.isPart())
            sink.logFailure(QStringLiteral(" - Processing failed: the movie ends before part %1 of %2, at output frame %3; "
                                           "it has fewer frames than it says, so split it into fewer parts.")
                                .arg(job.part.index).arg(job.part.count).arg(span.first));
        else
            sink.logFailure(QStringLiteral(" - Encoding failed: the movie has fewer than five frames, so there is nothing to encode."));
        return false;
    }
    // A part that is not the last must be whole: a short one would leave a
    // hole in the joined movie.
    if (span.count >= 0 && result.framesWritten != span.count - (WindowSize - 1)) {
        QFile::remove(partial);
        sink.logFailure(QStringLiteral(" - Processing failed: the movie ends at output frame %1, before the end of part %2 of %3 "
                                       "at %4; it has fewer frames than it says, so split it into fewer parts.")
                            .arg(span.first + result.framesWritten).arg(job.part.index).arg(job.part.count)
                            .arg(span.first + span.count - (WindowSize - 1)));
        return false;
    }
    // The movie replaces an earlier one only when it is whole: ffmpeg
    // reported no failed write (the encoder's failure above), and its
    // frames read back, where ffprobe is there to count them.
    const int packets = countVideoPackets(partial, &error);
    if (packets != -2 && packets != result.framesWritten) {
        QFile::remove(partial);
        sink.logFailure(packets < 0 ? QStringLiteral(" - Encoding failed: the movie written cannot be read back (%1).").arg(error)
                                    : QStringLiteral(" - Encoding failed: the movie written holds %1 of %2 frames.")
                                          .arg(packets).arg(result.framesWritten));
        return false;
    }
    if (!syncFile(partial, &error) || !replaceFile(partial, target, &error)) {
        QFile::remove(partial);
        sink.logFailure(QStringLiteral(" - Encoding failed: could not write %1 (%2).").arg(shownOutput, error));
        return false;
    }
    sink.log(QStringLiteral(" - Movie created."));
    if (!damage.isEmpty()) {
        sink.logFailure(QStringLiteral(" - Decoding failed: %1; the denoised movie holds the frames before them.").arg(damage));
        return false;
    }
    return true;
}

} // namespace nocta
