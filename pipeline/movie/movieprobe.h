#pragma once

#include "pipeline/core/error.h"

#include <QByteArray>
#include <QList>
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

// The same from what ffprobe said of the movie (its JSON).
Error movieInfoFromProbe(const QString &moviePath, const QByteArray &json, MovieInfo *info);

} // namespace nocta
