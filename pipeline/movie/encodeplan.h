#pragma once

#include "pipeline/core/error.h"

#include <QString>
#include <QStringList>

namespace nocta {

// How the user wants the denoised movie encoded, as given: unset fields
// take the plan's defaults.
struct EncodeSettings
{
    enum class Codec { H264, H265, Ffv1 };
    Codec codec = Codec::H264;
    int crf = -1;              // quality; -1: the codec's default
    QString preset;            // x264/x265 preset; empty: the default
    QString bitrate;           // "8M": a bit rate instead of a quality
    QString fps;               // "30", "30000/1001": time the frames at this rate
    bool audio = true;         // keep audio streams
    bool likeWindow = false;   // the window's movie (see EncodePlan::windowRate())

    // The x264/x265 presets.
    static QStringList presets();
    // The default suffix of the output: ".mkv" for FFV1, else ".mp4".
    QString defaultSuffix() const;
};

// The settings resolved against the output's container, checked, with
// every default filled in. The encoder's arguments, a part's label and
// join's comparison of parts all read it.
struct EncodePlan
{
    QString codec;             // "h264", "h265", "ffv1"
    int crf = -1;              // -1: none (a bit rate, or lossless)
    QString preset;            // empty for FFV1 and the window's movie
    QString bitrate;           // empty: a quality
    QString fps;               // empty: the movie's own rate; else a fraction, "2997/100"
    bool likeWindow = false;
    bool sound = true;
    QString container;         // the output's suffix, lower case

    // The window's movie: H.264 at this rate and bit rate, no sound.
    static QString windowRate() { return QStringLiteral("29"); }
    static QString windowBitrate() { return QStringLiteral("7500k"); }

    // Checks settings against each other and against outputPath's
    // container; an Error of a settings kind when they do not go together.
    static Error resolve(const EncodeSettings &settings, const QString &outputPath, EncodePlan *plan);

    // The suffixes of the movie containers an output may have, lower case:
    // "mp4", "mkv", ...
    static QStringList containers();
    // An Error of kind NoContainer (subject: the output) when outputPath's
    // suffix names none of them.
    static Error checkContainer(const QString &outputPath);

    // The frames are timed anew: no other stream would keep in step.
    bool retimed() const { return likeWindow || !fps.isEmpty(); }
    // The rate the frames are encoded at, given the movie's own.
    QString rate(const QString &movieRate) const;
    // Whether the container keeps the tags of a part's label.
    bool carriesLabel() const;
    // The MP4 family: hvc1 tags, metadata asked for by name.
    bool mp4Family() const;

    // The video encoder's output options for frames of this size and
    // pixel shape (sample aspect ratio).
    QStringList videoArguments(int width, int height, int sarNum = 1, int sarDen = 1) const;

    // The plan in words, every default spelled out, so that parts made
    // alike have equal labels however the settings were given:
    // "mode=fuzzy;codec=h264;crf=18;...".
    QString label(const QString &mode, int width, int height) const;
};

} // namespace nocta
