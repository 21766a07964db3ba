#include "pipeline/movie/partplan.h"

#include "pipeline/movie/ffmpeg.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace nocta {

namespace {

// The bytes hashed at each end of a movie for its identity.
constexpr qint64 IdentityBytes = 1 << 20;

// The tags of a part's label.
const char *const PartTag = "NOCTA_PART";
const char *const FramesTag = "NOCTA_FRAMES";
const char *const SourceTag = "NOCTA_SOURCE";
const char *const SourcePathTag = "NOCTA_SOURCE_PATH";
const char *const SettingsTag = "NOCTA_SETTINGS";
const char *const RateTag = "NOCTA_RATE";
const char *const StreamsTag = "NOCTA_STREAMS";

QString shown(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

Error partError(const QString &detail)
{
    return Error::failed(Error::Stage::Processing, detail);
}

QMap<QString, QString> settingsMap(const QString &settings)
{
    QMap<QString, QString> map;
    for (const QString &entry : settings.split(QLatin1Char(';'), Qt::SkipEmptyParts))
        map.insert(entry.section(QLatin1Char('='), 0, 0), entry.section(QLatin1Char('='), 1));
    return map;
}

bool parseRange(const QString &text, FrameRange *range)
{
    const QStringList bounds = text.split(QLatin1Char('-'));
    if (bounds.size() != 2)
        return false;
    bool okFirst = false, okEnd = true;
    range->first = bounds.at(0).toInt(&okFirst);
    range->end = bounds.at(1).isEmpty() ? -1 : bounds.at(1).toInt(&okEnd);
    return okFirst && okEnd && range->first >= 0 && (range->end < 0 || range->end > range->first);
}

QString tag(const char *name, const QString &value)
{
    return QStringLiteral("%1=%2").arg(QLatin1String(name), value);
}

} // namespace

QString settingsDifference(const QString &a, const QString &b)
{
    const QMap<QString, QString> first = settingsMap(a), second = settingsMap(b);
    QStringList keys = first.keys() + second.keys();
    keys.removeDuplicates();
    for (const QString &key : keys) {
        if (first.value(key) != second.value(key)) {
            const auto value = [](const QString &v) { return v.isEmpty() ? QStringLiteral("(none)") : v; };
            return QStringLiteral("%1 %2 against %3").arg(key, value(first.value(key)), value(second.value(key)));
        }
    }
    return QStringLiteral("%1 against %2").arg(a, b);
}

QString rangeText(const FrameRange &range)
{
    return QStringLiteral("%1-%2").arg(range.first).arg(range.end >= 0 ? QString::number(range.end) : QString());
}

bool parsePartSpec(const QString &text, PartSpec *part)
{
    const QStringList numbers = text.split(QLatin1Char('/'));
    bool okIndex = false, okCount = false;
    const int index = numbers.value(0).toInt(&okIndex);
    const int count = numbers.size() == 2 ? numbers.at(1).toInt(&okCount) : 0;
    if (!okIndex || !okCount || count < 1 || index < 1 || index > count)
        return false;
    part->index = index;
    part->count = count;
    return true;
}

FrameRange partRange(int outputs, const PartSpec &part)
{
    const auto bound = [&](int k) { return int(qint64(outputs) * k / part.count); };
    return FrameRange{bound(part.index - 1), part.isLast() ? -1 : bound(part.index)};
}

Error movieIdentity(const QString &path, QString *identity)
{
    QFile file(path);
    const auto unreadable = [&] {
        return Error::failed(Error::Stage::Processing, QStringLiteral("cannot read %1").arg(shown(path)),
                             file.errorString());
    };
    if (!file.open(QIODevice::ReadOnly))
        return unreadable();
    const qint64 size = file.size();
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(file.read(qMin(size, IdentityBytes)));
    if (size > IdentityBytes) {
        const qint64 tail = qMax(IdentityBytes, size - IdentityBytes);
        if (!file.seek(tail))
            return unreadable();
        hash.addData(file.read(size - tail));
    }
    if (file.error() != QFileDevice::NoError)
        return unreadable();
    *identity = QStringLiteral("%1-%2").arg(size).arg(QString::fromLatin1(hash.result().toHex().left(32)));
    return Error();
}

Error planPart(const PartJob &job, const MovieInfo &info, PartPlan *plan)
{
    const PartSpec &part = job.part;
    const TemporalWindow window = temporalWindow(job.mode);
    if (info.frames < 0)
        return partError(QStringLiteral("the length of %1 is unknown, so it cannot be split into parts").arg(shown(job.movie)));
    const int outputs = window.outputs(info.frames);
    if (outputs < part.count)
        return partError(QStringLiteral("%1 gives %2 denoised frames, too few for %3 parts")
                             .arg(shown(job.movie)).arg(outputs).arg(part.count));
    QString identity;
    if (Error error = movieIdentity(job.movie, &identity))
        return error;

    PartPlan result;
    result.range = partRange(outputs, part);
    result.frames.first = result.range.first;
    result.frames.count = result.range.end >= 0 ? result.range.end - result.range.first + window.lost() : -1;
    const QString rate = job.encode.likeWindow ? EncodePlan::windowRate() + QStringLiteral("/1")
                                               : job.encode.rate(info.rateText());
    QStringList streams;
    for (const MovieInfo::Stream &stream : info.others)
        streams << stream.type;
    result.tags = QStringList{
        QStringLiteral("%1=%2/%3").arg(QLatin1String(PartTag)).arg(part.index).arg(part.count),
        tag(FramesTag, rangeText(result.range)),
        tag(SourceTag, identity),
        tag(SourcePathTag, QFileInfo(job.movie).absoluteFilePath()),
        tag(SettingsTag, job.encode.label(modeName(job.mode), info.width, info.height)),
        tag(RateTag, rate),
        tag(StreamsTag, streams.join(QLatin1Char(','))),
    };
    *plan = result;
    return Error();
}

Error partLabelFromTags(const QString &path, const QMap<QString, QString> &tags, PartLabel *label)
{
    PartLabel result;
    result.path = QFileInfo(path).absoluteFilePath();
    if (!tags.contains(QLatin1String(PartTag)))
        return Error{Error::Stage::Joining, Error::Kind::NotAPart,
                     QStringLiteral("%1 is not a part (it carries no part label)").arg(shown(path)), QString(), shown(path)};
    const QMap<QString, QString> settings = settingsMap(tags.value(QLatin1String(SettingsTag)));
    DenoiseMode mode = DenoiseMode::Fuzzy;
    if (!parsePartSpec(tags.value(QLatin1String(PartTag)), &result.part)
        || !parseRange(tags.value(QLatin1String(FramesTag)), &result.range)
        || tags.value(QLatin1String(SourceTag)).isEmpty() || tags.value(QLatin1String(RateTag)).isEmpty()
        || (settings.contains(QStringLiteral("mode")) && !modeFromName(settings.value(QStringLiteral("mode")), &mode)))
        return Error::failed(Error::Stage::Joining, QStringLiteral("the part label of %1 is damaged").arg(shown(path)));
    result.source = tags.value(QLatin1String(SourceTag));
    result.sourcePath = tags.value(QLatin1String(SourcePathTag));
    result.settings = tags.value(QLatin1String(SettingsTag));
    result.rate = tags.value(QLatin1String(RateTag));
    result.streams = tags.value(QLatin1String(StreamsTag)).split(QLatin1Char(','), Qt::SkipEmptyParts);
    result.window = temporalWindow(mode);
    result.sound = settings.value(QStringLiteral("sound")) != QLatin1String("no");
    result.retimed = settings.value(QStringLiteral("like-window")) == QLatin1String("yes")
                     || !settings.value(QStringLiteral("fps")).isEmpty();
    *label = result;
    return Error();
}

Error readPartLabel(const QString &path, PartLabel *label)
{
    VideoExtent extent;
    if (const Error unreadable = measureVideo(path, &extent))
        return Error::failed(Error::Stage::Joining, QStringLiteral("%1 is not a movie").arg(shown(path)), unreadable.reason);
    // Containers differ in the case they give tag names: they come in upper case.
    if (Error error = partLabelFromTags(path, extent.tags, label))
        return error;
    label->container = extent.container;
    label->frames = extent.frames;
    label->seconds = extent.seconds;
    return Error();
}

} // namespace nocta
