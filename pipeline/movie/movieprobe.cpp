#include "pipeline/movie/movieprobe.h"

#include "pipeline/movie/ffmpegrun.h"
#include "pipeline/movie/movieformat.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <numeric>

namespace nocta {

namespace {

double seconds(const QJsonValue &value, double fallback = 0.0)
{
    bool ok = false;
    const double v = value.toString().toDouble(&ok);
    return ok ? v : fallback;
}

// A length as a stream's duration ("1.920000") or as Matroska's tag
// ("00:00:01.920000000"); -1 when there is none.
double recordedSeconds(const QJsonObject &stream)
{
    const double duration = seconds(stream.value(QStringLiteral("duration")), -1);
    if (duration >= 0)
        return duration;
    const QJsonObject tags = stream.value(QStringLiteral("tags")).toObject();
    for (auto it = tags.begin(); it != tags.end(); ++it) {
        const QStringList clock = it.value().toString().split(QLatin1Char(':'));
        bool okHours = false, okMinutes = false, okSeconds = false;
        if (it.key().toUpper() != QLatin1String("DURATION") || clock.size() != 3)
            continue;
        const double total = clock.at(0).toInt(&okHours) * 3600.0 + clock.at(1).toInt(&okMinutes) * 60.0
                             + clock.at(2).toDouble(&okSeconds);
        if (okHours && okMinutes && okSeconds)
            return total;
    }
    return -1;
}

} // namespace

bool parseRate(const QString &text, qint64 *num, qint64 *den)
{
    // "29.97" is 2997/100 exactly, as ffmpeg reads it.
    static const QRegularExpression rate(QStringLiteral("^([0-9]{1,9})(?:\\.([0-9]{1,9})|/([0-9]{1,9}))?$"));
    const QRegularExpressionMatch match = rate.match(text);
    if (!match.hasMatch())
        return false;
    qint64 n = match.captured(1).toLongLong();
    qint64 d = match.captured(3).isEmpty() ? 1 : match.captured(3).toLongLong();
    for (const QChar digit : match.captured(2)) {
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

namespace {

// The rate ffmpeg hands the frames out at: the stream's base rate, unless
// that is far above its average (a few timestamps in a fine time base), as
// ffmpeg itself guesses it; 25 when nothing is known.
void readRate(const QJsonObject &video, MovieInfo *info)
{
    qint64 rNum = 0, rDen = 1, aNum = 0, aDen = 1;
    const bool haveR = parseRate(video.value(QStringLiteral("r_frame_rate")).toString(), &rNum, &rDen);
    const bool haveAvg = parseRate(video.value(QStringLiteral("avg_frame_rate")).toString(), &aNum, &aDen);
    if (haveR && !(haveAvg && double(aNum) / aDen < 70 && double(rNum) / rDen > 210)) {
        info->rateNum = rNum;
        info->rateDen = rDen;
    } else if (haveAvg) {
        info->rateNum = aNum;
        info->rateDen = aDen;
    } else {
        info->rateNum = 25;
        info->rateDen = 1;
    }
}

// The frame count from the container, else estimated from the duration.
void readFrameCount(const QJsonObject &format, const QJsonObject &video, MovieInfo *info)
{
    const double formatStart = seconds(format.value(QStringLiteral("start_time")));
    const double videoStart = qMax(0.0, seconds(video.value(QStringLiteral("start_time")), formatStart) - formatStart);
    bool counted = false;
    const int frames = video.value(QStringLiteral("nb_frames")).toString().toInt(&counted);
    if (counted && frames > 0) {
        info->frames = frames;
        return;
    }
    const double duration = seconds(video.value(QStringLiteral("duration")),
                                    seconds(format.value(QStringLiteral("duration"))) - videoStart);
    if (duration > 0)
        info->frames = framesInDuration(duration, info->rate());
}

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

Error movieInfoFromProbe(const QString &moviePath, const QByteArray &json, MovieInfo *info)
{
    const QJsonObject root = QJsonDocument::fromJson(json).object();
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
    if (video.isEmpty() || result.width <= 0 || result.height <= 0)
        return Error::failed(Error::Stage::Decoding,
                             QStringLiteral("%1 has no video stream").arg(QDir::toNativeSeparators(moviePath)));
    readShape(video, &result);
    readRate(video, &result);
    readFrameCount(root.value(QStringLiteral("format")).toObject(), video, &result);
    *info = result;
    return Error();
}

Error measureVideo(const QString &moviePath, VideoExtent *extent)
{
    QByteArray json;
    if (const Fault fault = runFfprobe(
            {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-select_streams"), QStringLiteral("v:0"),
             QStringLiteral("-count_packets"), QStringLiteral("-show_entries"),
             QStringLiteral("format=format_name:format_tags:stream=nb_read_packets,duration:stream_tags=DURATION"),
             QStringLiteral("-of"), QStringLiteral("json"), QFileInfo(moviePath).absoluteFilePath()},
            &json))
        return fault.error(Error::Stage::Joining,
                           QStringLiteral("%1 cannot be read").arg(QDir::toNativeSeparators(moviePath)));
    const QJsonObject root = QJsonDocument::fromJson(json).object();
    const QJsonObject format = root.value(QStringLiteral("format")).toObject();
    const QJsonObject stream = root.value(QStringLiteral("streams")).toArray().at(0).toObject();
    VideoExtent result;
    result.container = format.value(QStringLiteral("format_name")).toString();
    bool counted = false;
    result.frames = stream.value(QStringLiteral("nb_read_packets")).toString().toInt(&counted);
    if (!counted)
        result.frames = stream.isEmpty() ? 0 : -1;
    result.seconds = recordedSeconds(stream);
    const QJsonObject tags = format.value(QStringLiteral("tags")).toObject();
    for (auto it = tags.begin(); it != tags.end(); ++it)
        result.tags.insert(it.key().toUpper(), it.value().toString());
    *extent = result;
    return Error();
}

Error probeMovie(const QString &moviePath, MovieInfo *info)
{
    QByteArray json;
    if (const Fault fault = runFfprobe({QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-show_entries"),
                                        QStringLiteral("format=start_time,duration:stream=index,codec_type,codec_name,"
                                                       "width,height,sample_aspect_ratio,r_frame_rate,avg_frame_rate,"
                                                       "nb_frames,duration,start_time:stream_side_data=rotation"),
                                        QStringLiteral("-of"), QStringLiteral("json"),
                                        QFileInfo(moviePath).absoluteFilePath()},
                                       &json))
        return fault.error(Error::Stage::Decoding);
    return movieInfoFromProbe(moviePath, json, info);
}

} // namespace nocta
