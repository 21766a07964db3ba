#include "pipeline/movie/movieformat.h"

#include "pipeline/movie/ffmpegrun.h"

#include <QDir>
#include <QFileInfo>
#include <QStringList>

#include <climits>
#include <cmath>

namespace nocta {

QString movieFormatProblem(const QString &formatName, bool stillPicture)
{
    // Formats that name other files or streams to open, and what they are.
    static const struct
    {
        const char *name;
        const char *what;
    } lists[] = {
        {"hls", "an HLS playlist"},
        {"applehttp", "an HLS playlist"},
        {"concat", "a concatenation list (ffconcat)"},
        {"dash", "a DASH manifest"},
        {"imf", "an IMF composition"},
        {"sdp", "a session description (SDP)"},
        {"rtsp", "a session description (RTSP)"},
        {"avisynth", "an AviSynth script"},
        {"vapoursynth", "a VapourSynth script"},
    };
    const QStringList names = formatName.split(QLatin1Char(','), Qt::SkipEmptyParts);
    for (const QString &name : names) {
        for (const auto &list : lists)
            if (name == QLatin1String(list.name))
                return QStringLiteral("%1, which names other files to read").arg(QLatin1String(list.what));
        // image2 reads one picture, or every file its name's pattern
        // matches; the *_pipe formats read single pictures.
        if (name == QLatin1String("image2") || name.endsWith(QLatin1String("_pipe")))
            return QStringLiteral("a still picture (%1)").arg(name);
    }
    if (stillPicture)
        return QStringLiteral("a still picture (the cover art of %1)").arg(names.value(0, QStringLiteral("a song")));
    return QString();
}

Error checkMovieFormat(const QString &moviePath)
{
    if (findFfprobe().isEmpty())
        return Error();
    QByteArray output;
    if (runFfprobe({QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-select_streams"), QStringLiteral("v:0"),
                    QStringLiteral("-show_entries"), QStringLiteral("format=format_name:stream_disposition=attached_pic"),
                    QStringLiteral("-of"), QStringLiteral("default=nw=1"), QFileInfo(moviePath).absoluteFilePath()},
                   &output))
        return Error();
    QString format;
    bool still = false;
    for (const QByteArray &line : output.split('\n')) {
        const QByteArray text = line.trimmed();
        if (text.startsWith("format_name="))
            format = QString::fromUtf8(text.mid(12));
        else if (text == "DISPOSITION:attached_pic=1")
            still = true;
    }
    const QString problem = movieFormatProblem(format, still);
    if (problem.isEmpty())
        return Error();
    return Error::failed(Error::Stage::Decoding,
                         QStringLiteral("%1 is %2, not a movie file").arg(QDir::toNativeSeparators(moviePath), problem));
}

int framesInDuration(double seconds, double rate)
{
    const double frames = std::floor(seconds * rate + 0.5);
    if (!(frames >= 0 && frames <= double(INT_MAX)))   // NaN too
        return -1;
    return int(frames);
}

} // namespace nocta
