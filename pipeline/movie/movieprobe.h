#pragma once

#include "pipeline/core/error.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>

namespace nocta {

// What ffprobe tells of a movie.
struct MovieInfo
{
    struct Stream
    {
        int index = -1;        // in the movie
        QString type;          // "audio", "subtitle"
        QString codec;
    };

    int width = 0;
    int height = 0;
    qint64 rateNum = 0;        // frames per second as a fraction: the rate
    qint64 rateDen = 1;        // at which ffmpeg hands out the frames
    int frames = -1;           // from the container, else estimated; -1 unknown
    QList<Stream> others;      // audio and subtitle streams, in movie order

    double rate() const { return rateDen ? double(rateNum) / double(rateDen) : 0.0; }
    QString rateText() const { return QStringLiteral("%1/%2").arg(rateNum).arg(rateDen); }
};

// "30000/1001" -> 30000, 1001; "25" -> 25, 1; false for "0/0" and the like.
bool parseRate(const QString &text, qint64 *num, qint64 *den);

// Frame `frame` of a rate's grid as a time in seconds, to the microsecond,
// as ffmpeg reads times: "1.001000".
QString gridTime(qint64 rateNum, qint64 rateDen, qint64 frame);

// Reads the first video stream's size, rate and frame count and the
// other streams of a movie; an error when the movie cannot be read or has
// no video.
Error probeMovie(const QString &moviePath, MovieInfo *info);

// What a written movie holds: its container, the frames of its first
// video stream (its packets, counted by reading the whole file without
// decoding it) and the length of that stream as the container recorded
// it when the file was finished: -1 where it recorded none, as in a file
// whose writer never finished.
struct VideoExtent
{
    QString container;             // ffprobe's name: "matroska,webm", "mov,mp4,..."
    int frames = -1;
    double seconds = -1;
    QMap<QString, QString> tags;   // the container's tags, names in upper case
};

// Measures a written movie; an error with ffprobe's reason when it cannot
// be read.
Error measureVideo(const QString &moviePath, VideoExtent *extent);

// The same from what ffprobe said of the movie (its JSON).
Error movieInfoFromProbe(const QString &moviePath, const QByteArray &json, MovieInfo *info);

} // namespace nocta
