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

    int width = 0;             // of the frames as shown: turned upright
    int height = 0;
    int sarNum = 1;            // the shape of a pixel (sample aspect ratio),
    int sarDen = 1;            // as shown
    int rotation = 0;          // the turn ffmpeg gives the stored frames: 0, 90, 180 or 270
    qint64 rateNum = 0;        // frames per second as a fraction: the rate
    qint64 rateDen = 1;        // at which ffmpeg hands out the frames
    int frames = -1;           // from the container, else estimated; -1 unknown
    QList<Stream> others;      // audio and subtitle streams, in movie order

    double rate() const { return rateDen ? double(rateNum) / double(rateDen) : 0.0; }
    QString rateText() const { return QStringLiteral("%1/%2").arg(rateNum).arg(rateDen); }
    bool squarePixels() const { return sarNum == sarDen; }
};

// "30000/1001" -> 30000, 1001; "25" -> 25, 1; "29.97" -> 2997, 100: a rate
// as a fraction, exactly and in lowest terms; false for "0/0" and the like.
bool parseRate(const QString &text, qint64 *num, qint64 *den);

// A rate as its fraction in lowest terms: "29.97" -> "2997/100", "25" ->
// "25/1"; text that is no rate as it is.
QString exactRate(const QString &text);

// Frame `frame` of a rate's grid as a time in seconds, to the microsecond,
// as ffmpeg reads times: "1.001000".
QString gridTime(qint64 rateNum, qint64 rateDen, qint64 frame);

// Reads the first video stream's size, pixel shape, rate and frame count
// and the other streams of a movie. A movie whose header says to turn its
// pictures (a phone's display matrix) is described as shown: ffmpeg turns
// the frames upright as it decodes them. An error when the movie cannot
// be read or has no video.
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
