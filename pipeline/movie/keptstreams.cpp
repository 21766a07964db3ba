#include "pipeline/movie/keptstreams.h"

#include "pipeline/core/runsink.h"
#include "pipeline/movie/ffmpegrun.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

namespace nocta {

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
    return !runFfmpeg(dir.path(), arguments);
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

Fault encodeSubtitlesAhead(QList<KeptStream> *streams, const QString &dir, const QString &suffix,
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
        return Fault();
    if (const Fault fault = runFfmpeg(dir, QStringList{QStringLiteral("-nostdin"), QStringLiteral("-loglevel"),
                                                       QStringLiteral("error"), QStringLiteral("-i"), movie}
                                               + maps + codecs + QStringList{file},
                                      stopRequested))
        return fault;
    int index = 0;
    for (KeptStream &stream : *streams) {
        if (stream.isSubtitle() && stream.codec != QLatin1String("copy"))
            stream = KeptStream{stream.stream, QStringLiteral("copy"), file, index++};
    }
    return Fault();
}

namespace {

// The inputs of the kept streams: each file once for its sound, moved
// earlier by offset, and once for its subtitles, moved earlier by offset
// less margin; and for each stream the number of its input among them.
QStringList keptInputs(const QList<KeptStream> &streams, double offset, double margin, QList<int> *inputOf)
{
    QStringList arguments, keys;
    for (const KeptStream &stream : streams) {
        const QString key = (stream.isSubtitle() ? QLatin1String("as is:") : QLatin1String("moved:")) + stream.source;
        int input = keys.indexOf(key);
        if (input < 0) {
            input = keys.size();
            keys << key;
            const double moved = stream.isSubtitle() ? offset - margin : offset;
            if (moved > 0)
                arguments << QStringLiteral("-itsoffset") << QString::number(-moved, 'f', 6);
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

QStringList keptStreamInputs(const QList<KeptStream> &streams, double offset, double margin)
{
    // The other streams are moved earlier by the time of output frame 0 in
    // the movie (the decoder numbers frames from the movie's start,
    // repeating the first where the picture starts later than the sound).
    // (An input seek would start copied streams at the keyframe before,
    // seconds early in some containers; moving the frames later instead
    // would put them between ticks of their own rate.)
    return keptInputs(streams, offset, margin, nullptr);
}

QStringList keptStreamOutputs(const QList<KeptStream> &streams, double offset, double margin, int firstInput,
                              int firstOutput)
{
    QList<int> inputOf;
    keptInputs(streams, offset, margin, &inputOf);
    QStringList arguments;
    for (int i = 0; i < streams.size(); ++i)
        arguments << QStringLiteral("-map") << QStringLiteral("%1:%2").arg(firstInput + inputOf.at(i)).arg(streams.at(i).index);
    for (int i = 0; i < streams.size(); ++i) {
        if (!streams.at(i).codec.isEmpty())
            arguments << QStringLiteral("-c:%1").arg(firstOutput + i) << streams.at(i).codec;
        if (streams.at(i).isSubtitle())
            arguments << QStringLiteral("-bsf:%1").arg(firstOutput + i) << subtitleShift(margin);
    }
    // The sound runs to its end, a little past the last frame: cutting
    // it at the shorter stream would cut the picture of a movie whose sound
    // stops early.
    if (!streams.isEmpty())
        arguments << QStringLiteral("-ss") << QStringLiteral("0");
    return arguments;
}

} // namespace nocta
