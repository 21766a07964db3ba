#include "pipeline/movie/keptstreams.h"

#include "pipeline/core/runsink.h"
#include "pipeline/movie/ffmpeg.h"

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
    return runFfmpeg(dir.path(), arguments).isEmpty();
}

QList<KeptStream> keptStreams(const QString &movie, const MovieInfo &info, const QString &outputPath, bool audio,
                              RunSink &sink)
{
    QList<KeptStream> streams;
    for (const MovieInfo::Stream &stream : info.others) {
        if (stream.type == QLatin1String("audio") && !audio)
            continue;
        if (containerTakes(movie, outputPath, stream.index, QStringLiteral("copy")))
            streams << qMakePair(stream, QStringLiteral("copy"));
        else if (containerTakes(movie, outputPath, stream.index, QString()))
            streams << qMakePair(stream, QString());
        else
            sink.log(QStringLiteral(" - Left out stream %1 (%2 %3): the container of %4 cannot hold it")
                         .arg(stream.index).arg(stream.type, stream.codec, QDir::toNativeSeparators(outputPath)));
    }
    return streams;
}

QStringList keptStreamInputs(const QString &moviePath, double rate, int shift, const QList<KeptStream> &streams)
{
    if (streams.isEmpty())
        return {};
    // Output frame k is the denoised movie frame k + shift, and the output
    // starts with it: the other streams are moved earlier by the time of
    // that frame in the movie (the decoder numbers frames from the movie's
    // start, repeating the first where the picture starts later than the
    // sound), and what then falls before the start is dropped, packet by
    // packet where they are copied. (An input seek would start copied
    // streams at the keyframe before, seconds early in some containers;
    // moving the frames later instead would put them between ticks of their
    // own rate.)
    return {QStringLiteral("-itsoffset"), QString::number(-double(shift) / rate, 'f', 6),
            QStringLiteral("-i"), QFileInfo(moviePath).absoluteFilePath()};
}

QStringList keptStreamOutputs(const QList<KeptStream> &streams, int input, int firstOutput)
{
    QStringList arguments;
    for (const KeptStream &stream : streams)
        arguments << QStringLiteral("-map") << QStringLiteral("%1:%2").arg(input).arg(stream.first.index);
    // The sound runs to its end, a little past the last frame: cutting
    // it at the shorter stream would cut the picture of a movie whose sound
    // stops early.
    for (int i = 0; i < streams.size(); ++i)
        if (!streams.at(i).second.isEmpty())
            arguments << QStringLiteral("-c:%1").arg(firstOutput + i) << streams.at(i).second;
    if (!streams.isEmpty())
        arguments << QStringLiteral("-ss") << QStringLiteral("0");
    return arguments;
}

} // namespace nocta
