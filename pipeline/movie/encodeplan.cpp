#include "pipeline/movie/encodeplan.h"

#include "pipeline/movie/movieprobe.h"

#include <QDir>
#include <QFileInfo>

namespace nocta {

namespace {

// The defaults of the x264/x265 encoders as this program uses them.
constexpr int H264Crf = 18;
constexpr int H265Crf = 20;
const char *const DefaultPreset = "medium";

Error settingsError(Error::Kind kind, const QString &detail, const QString &subject = QString())
{
    return Error{Error::Stage::Encoding, kind, detail, QString(), subject};
}

// The first way in which settings do not go together; None when they do.
Error checkSettings(const EncodeSettings &s, const QString &outputPath)
{
    const QString suffix = QFileInfo(outputPath).suffix().toLower();
    using Kind = Error::Kind;
    const bool ffv1 = s.codec == EncodeSettings::Codec::Ffv1;
    if (s.likeWindow && (s.codec != EncodeSettings::Codec::H264 || s.crf >= 0 || !s.preset.isEmpty()
                         || !s.bitrate.isEmpty() || !s.fps.isEmpty()))
        return settingsError(Kind::WindowFixesEncoding, QStringLiteral("the window's encoding sets the codec, rate and bit rate itself"));
    if (ffv1 && (s.crf >= 0 || !s.bitrate.isEmpty() || !s.preset.isEmpty()))
        return settingsError(Kind::LosslessTakesNoQuality, QStringLiteral("FFV1 is lossless: a quality, bit rate or preset does not apply"));
    if (ffv1 && !QStringList{"mkv", "mka", "avi", "nut"}.contains(suffix))
        return settingsError(Kind::LosslessNeedsMatroska, QStringLiteral("FFV1 goes in Matroska: name the output .mkv"));
    if (s.crf >= 0 && !s.bitrate.isEmpty())
        return settingsError(Kind::QualityAndBitrate, QStringLiteral("a quality and a bit rate exclude each other"));
    if (s.crf > 51)
        return settingsError(Kind::QualityOutOfRange, QStringLiteral("the quality takes 0 to 51"));
    if (!s.preset.isEmpty() && !EncodeSettings::presets().contains(s.preset))
        return settingsError(Kind::UnknownPreset,
                             QStringLiteral("unknown preset '%1'; the presets are %2")
                                 .arg(s.preset, EncodeSettings::presets().join(QStringLiteral(", "))), s.preset);
    return EncodePlan::checkContainer(outputPath);
}

} // namespace

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

QStringList EncodePlan::containers()
{
    return {QStringLiteral("mp4"), QStringLiteral("mkv"), QStringLiteral("mov"), QStringLiteral("m4v"),
            QStringLiteral("avi"), QStringLiteral("nut"), QStringLiteral("ts")};
}

Error EncodePlan::checkContainer(const QString &outputPath)
{
    const QString suffix = QFileInfo(outputPath).suffix().toLower();
    if (containers().contains(suffix))
        return Error();
    const QString accepted = QStringLiteral(".") + containers().join(QStringLiteral(", ."));
    const QString what = suffix.isEmpty() ? QStringLiteral("has no suffix to tell its container")
                                          : QStringLiteral("names no movie container");
    return settingsError(Error::Kind::NoContainer,
                         QStringLiteral("the output %1 %2; name it %3")
                             .arg(QDir::toNativeSeparators(outputPath), what, accepted),
                         QDir::toNativeSeparators(outputPath));
}

Error EncodePlan::resolve(const EncodeSettings &settings, const QString &outputPath, EncodePlan *plan)
{
    if (Error error = checkSettings(settings, outputPath))
        return error;
    EncodePlan result;
    result.container = QFileInfo(outputPath).suffix().toLower();
    result.likeWindow = settings.likeWindow;
    result.sound = settings.audio;
    // A rate is kept as the exact fraction of what was given ("29.97":
    // 2997/100), which the encoder, a part's label and join all read.
    result.fps = settings.fps.isEmpty() ? QString() : exactRate(settings.fps);
    if (settings.likeWindow) {
        result.codec = QStringLiteral("h264");
        result.bitrate = windowBitrate();
    } else if (settings.codec == EncodeSettings::Codec::Ffv1) {
        result.codec = QStringLiteral("ffv1");
    } else {
        const bool h265 = settings.codec == EncodeSettings::Codec::H265;
        result.codec = h265 ? QStringLiteral("h265") : QStringLiteral("h264");
        result.bitrate = settings.bitrate;
        if (settings.bitrate.isEmpty())
            result.crf = settings.crf >= 0 ? settings.crf : h265 ? H265Crf : H264Crf;
        result.preset = settings.preset.isEmpty() ? QLatin1String(DefaultPreset) : settings.preset;
    }
    *plan = result;
    return Error();
}

QString EncodePlan::rate(const QString &movieRate) const
{
    return likeWindow ? windowRate() : fps.isEmpty() ? movieRate : fps;
}

bool EncodePlan::carriesLabel() const
{
    return QStringList{"mkv", "mp4", "mov", "m4v"}.contains(container);
}

bool EncodePlan::mp4Family() const
{
    return QStringList{"mp4", "mov", "m4v"}.contains(container);
}

QStringList EncodePlan::videoArguments(int width, int height, int sarNum, int sarDen) const
{
    QStringList arguments, filters;
    if (codec == QLatin1String("ffv1")) {
        arguments << QStringLiteral("-c:v") << QStringLiteral("ffv1") << QStringLiteral("-level") << QStringLiteral("3")
                  << QStringLiteral("-pix_fmt") << QStringLiteral("bgr0");
    } else {
        const bool h265 = codec == QLatin1String("h265");
        arguments << QStringLiteral("-c:v") << (h265 ? QStringLiteral("libx265") : QStringLiteral("libx264"));
        if (!preset.isEmpty())
            arguments << QStringLiteral("-preset") << preset;
        if (crf >= 0)
            arguments << QStringLiteral("-crf") << QString::number(crf);
        else
            arguments << QStringLiteral("-b:v") << bitrate;
        arguments << QStringLiteral("-pix_fmt") << QStringLiteral("yuv420p");
        if (h265) {
            arguments << QStringLiteral("-x265-params") << QStringLiteral("log-level=error");
            if (mp4Family())
                arguments << QStringLiteral("-tag:v") << QStringLiteral("hvc1");
        }
        // 4:2:0 needs an even size: a frame of odd width or height gets
        // one black column or row.
        if (width % 2 || height % 2)
            filters << QStringLiteral("pad=ceil(iw/2)*2:ceil(ih/2)*2");
    }
    // The frames come through the pipe without the shape of their pixels.
    if (sarNum != sarDen)
        filters << QStringLiteral("setsar=%1/%2").arg(sarNum).arg(sarDen);
    if (!filters.isEmpty())
        arguments << QStringLiteral("-vf") << filters.join(QLatin1Char(','));
    return arguments;
}

QString EncodePlan::label(const QString &mode, int width, int height) const
{
    const auto yesNo = [](bool value) { return value ? QStringLiteral("yes") : QStringLiteral("no"); };
    const bool window = likeWindow;
    const QStringList entries{
        QStringLiteral("mode=") + mode,
        QStringLiteral("codec=") + codec,
        QStringLiteral("crf=") + (crf >= 0 ? QString::number(crf) : QString()),
        QStringLiteral("preset=") + preset,
        QStringLiteral("bitrate=") + (window ? QString() : bitrate),
        QStringLiteral("fps=") + fps,
        QStringLiteral("like-window=") + yesNo(window),
        QStringLiteral("sound=") + yesNo(sound),
        QStringLiteral("size=%1x%2").arg(width).arg(height),
    };
    return entries.join(QLatin1Char(';'));
}

} // namespace nocta
