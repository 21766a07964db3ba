#include "pipeline/moviestream.h"

#include "pipeline/ffmpeg.h"
#include "pipeline/framesource.h"
#include "pipeline/moviestages.h"
#include "pipeline/pixelrows.h"
#include "pipeline/runsink.h"
#include "pipeline/safefile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QThread>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

namespace nocta {

namespace {

// Frames waiting between the decoder and the run, and between the run and
// the encoder: enough to keep all three busy, few enough to keep memory flat.
constexpr std::size_t QueuedFrames = 2;

constexpr int WindowSize = 5;

// "30000/1001" -> 30000, 1001; false for "0/0" and the like.
bool parseRate(const QString &text, qint64 *num, qint64 *den)
{
    const QStringList parts = text.split(QLatin1Char('/'));
    bool okNum = false, okDen = true;
    const qint64 n = parts.value(0).toLongLong(&okNum);
    const qint64 d = parts.size() > 1 ? parts.at(1).toLongLong(&okDen) : 1;
    if (!okNum || !okDen || n <= 0 || d <= 0)
        return false;
    *num = n;
    *den = d;
    return true;
}

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
    DecoderSource(const QString &movie, const MovieInfo &info, std::function<bool()> stopRequested)
        : m_arguments(streamDecodeArguments(movie, info)), m_info(info), m_stopRequested(std::move(stopRequested))
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
                             QStringLiteral("frame %1").arg(m_given)};
        return true;
    }

    int expectedFrames() const override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const int known = m_given + int(m_queue.size());
        return m_ended ? known : qMax(known, m_info.frames);
    }

    QString failure() const override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopped)
            return QStringLiteral(" - Processing stopped.");
        return m_failure.isEmpty() ? QString() : QStringLiteral(" - Decoding failed: %1.").arg(m_failure);
    }

    QString noFramesMessage() const override { return QStringLiteral(" - Decoding failed: ffmpeg gave no frame."); }

private:
    QString run(FfmpegProcess &ffmpeg) override
    {
        ffmpeg.setOutput(FfmpegProcess::Output::Pipe);
        if (!ffmpeg.start(m_arguments))
            return ffmpeg.failureReason();
        const qint64 frameBytes = qint64(m_info.width) * m_info.height * 3;
        std::vector<uchar> bytes(std::size_t(frameBytes), 0);
        while (ffmpeg.read(reinterpret_cast<char *>(bytes.data()), frameBytes) == frameBytes) {
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
        return ffmpeg.waitForFinished() ? QString() : ffmpeg.failureReason();
    }

    const QStringList m_arguments;
    const MovieInfo m_info;
    const std::function<bool()> m_stopRequested;
    int m_given = 0;
    bool m_stopped = false;
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

// Whether the output's container takes the movie's stream index with this
// codec ("copy", or empty for the container's default encoder): ffmpeg
// writes the header of a file of that container holding the stream alone.
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

} // namespace

bool probeMovie(const QString &moviePath, MovieInfo *info, QString *error)
{
    FfmpegProcess ffprobe(FfmpegProcess::Tool::Ffprobe);
    ffprobe.setOutput(FfmpegProcess::Output::Pipe);
    if (!ffprobe.start({QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-show_entries"),
                        QStringLiteral("format=start_time,duration:stream=index,codec_type,codec_name,width,height,"
                                       "r_frame_rate,avg_frame_rate,nb_frames,duration,start_time"),
                        QStringLiteral("-of"), QStringLiteral("json"), QFileInfo(moviePath).absoluteFilePath()})) {
        *error = ffprobe.failureReason();
        return false;
    }
    const QByteArray json = ffprobe.readAll();
    if (!ffprobe.waitForFinished()) {
        const QStringList lines = ffprobe.errorLines(1);
        *error = lines.isEmpty() ? ffprobe.failureReason() : lines.first();
        return false;
    }
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
            result.frames = int(duration * result.rate() + 0.5);
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
    else
        return true;
    return false;
}

QStringList streamDecodeArguments(const QString &moviePath, const MovieInfo &info)
{
    // The frames come at the movie's own rate, as a decode into numbered
    // files gives them, in ffmpeg's bgr24 (the bytes of its 24-bit BMPs).
    return {QStringLiteral("-nostdin"), QStringLiteral("-loglevel"), QStringLiteral("error"),
            QStringLiteral("-i"), QFileInfo(moviePath).absoluteFilePath(),
            QStringLiteral("-map"), QStringLiteral("0:v:0"), QStringLiteral("-r"), info.rateText(),
            QStringLiteral("-f"), QStringLiteral("rawvideo"), QStringLiteral("-pix_fmt"), QStringLiteral("bgr24"),
            QStringLiteral("pipe:1")};
}

QStringList streamEncodeArguments(const QString &moviePath, const MovieInfo &info, const EncodeSettings &settings,
                                  const QList<QPair<MovieInfo::Stream, QString>> &streams, const QString &outputPath)
{
    QString rate = info.rateText();
    if (settings.likeWindow)
        rate = QStringLiteral("29");
    else if (!settings.fps.isEmpty())
        rate = settings.fps;

    // Output frame k is the denoised movie frame k + 2, and the output
    // starts with it: the other streams are moved earlier by the time of
    // that frame in the movie, and what then falls before the start is
    // dropped, packet by packet where they are copied. (An input seek would
    // start copied streams at the keyframe before, seconds early in some
    // containers; moving the frames later instead would put them between
    // ticks of their own rate.)
    QStringList arguments{QStringLiteral("-nostdin"), QStringLiteral("-loglevel"), QStringLiteral("error"),
                          QStringLiteral("-f"), QStringLiteral("rawvideo"), QStringLiteral("-pix_fmt"), QStringLiteral("rgb24"),
                          QStringLiteral("-video_size"), QStringLiteral("%1x%2").arg(info.width).arg(info.height),
                          QStringLiteral("-framerate"), rate, QStringLiteral("-i"), QStringLiteral("pipe:0")};
    if (!streams.isEmpty()) {
        // The decoder numbers frames from the movie's start (repeating the
        // first where the picture starts later than the sound).
        const double start = 2.0 / info.rate();
        arguments << QStringLiteral("-itsoffset") << QString::number(-start, 'f', 6)
                  << QStringLiteral("-i") << QFileInfo(moviePath).absoluteFilePath();
    }
    arguments << QStringLiteral("-map") << QStringLiteral("0:v:0");
    for (const auto &stream : streams)
        arguments << QStringLiteral("-map") << QStringLiteral("1:%1").arg(stream.first.index);

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
            const QString suffix = QFileInfo(outputPath).suffix().toLower();
            if (suffix == QLatin1String("mp4") || suffix == QLatin1String("mov") || suffix == QLatin1String("m4v"))
                arguments << QStringLiteral("-tag:v") << QStringLiteral("hvc1");
        }
    }
    // 4:2:0 needs an even size: a frame of odd width or height gets one
    // black column or row.
    if ((settings.likeWindow || settings.codec != EncodeSettings::Codec::Ffv1) && (info.width % 2 || info.height % 2))
        arguments << QStringLiteral("-vf") << QStringLiteral("pad=ceil(iw/2)*2:ceil(ih/2)*2");
    // The sound runs to its end, a little past the last frame: cutting
    // it at the shorter stream would cut the picture of a movie whose sound
    // stops early.
    for (int i = 0; i < streams.size(); ++i)
        if (!streams.at(i).second.isEmpty())
            arguments << QStringLiteral("-c:%1").arg(i + 1) << streams.at(i).second;
    if (!streams.isEmpty())
        arguments << QStringLiteral("-ss") << QStringLiteral("0");
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

    // The streams that go along: audio unless left out, subtitles, each
    // copied where the container takes it, else re-encoded with the
    // container's default, else left out with a line. With the frames
    // timed anew, neither would keep in step.
    QList<QPair<MovieInfo::Stream, QString>> streams;
    const bool retimed = job.encode.likeWindow || !job.encode.fps.isEmpty();
    for (const MovieInfo::Stream &stream : info.others) {
        if (retimed || (stream.type == QLatin1String("audio") && !job.encode.audio))
            continue;
        if (containerTakes(job.movie, job.output, stream.index, QStringLiteral("copy")))
            streams << qMakePair(stream, QStringLiteral("copy"));
        else if (containerTakes(job.movie, job.output, stream.index, QString()))
            streams << qMakePair(stream, QString());
        else
            sink.log(QStringLiteral(" - Left out stream %1 (%2 %3): the container of %4 cannot hold it")
                         .arg(stream.index).arg(stream.type, stream.codec, shownOutput));
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

    RunResult result;
    {
        DecoderSource source(job.movie, info, [&sink] { return sink.stopRequested(); });
        EncoderTarget encoder(streamEncodeArguments(job.movie, info, job.encode, streams, partial),
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
    }
    if (!result.ok()) {
        QFile::remove(partial);
        return false;
    }
    if (result.framesWritten == 0) {
        QFile::remove(partial);
        sink.logFailure(QStringLiteral(" - Encoding failed: the movie has fewer than five frames, so there is nothing to encode."));
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
    return true;
}

} // namespace nocta
