#include "pipeline/movieparts.h"

#include "pipeline/ffmpeg.h"
#include "pipeline/moviestages.h"
#include "pipeline/runsink.h"
#include "pipeline/safefile.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QTemporaryDir>

#include <algorithm>

namespace nocta {

namespace {

constexpr int WindowSize = 5;

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

QString modeName(DenoiseMode mode)
{
    return mode == DenoiseMode::Standard ? QStringLiteral("standard") : QStringLiteral("fuzzy");
}

// How a part was denoised and encoded, every default spelled out, so that
// parts made alike have equal settings however the options were given:
// "mode=fuzzy;codec=h264;crf=18;...".
QString partSettings(const StreamJob &job, const MovieInfo &info)
{
    const EncodeSettings &e = job.encode;
    QString codec, crf, preset;
    if (e.likeWindow) {
        codec = QStringLiteral("h264");
    } else if (e.codec == EncodeSettings::Codec::Ffv1) {
        codec = QStringLiteral("ffv1");
    } else {
        const bool h265 = e.codec == EncodeSettings::Codec::H265;
        codec = h265 ? QStringLiteral("h265") : QStringLiteral("h264");
        crf = e.bitrate.isEmpty() ? QString::number(e.crf >= 0 ? e.crf : (h265 ? 20 : 18)) : QString();
        preset = e.preset.isEmpty() ? QStringLiteral("medium") : e.preset;
    }
    const QStringList entries{
        QStringLiteral("mode=") + modeName(job.mode),
        QStringLiteral("codec=") + codec,
        QStringLiteral("crf=") + crf,
        QStringLiteral("preset=") + preset,
        QStringLiteral("bitrate=") + e.bitrate,
        QStringLiteral("fps=") + (e.fps.isEmpty() ? QString() : exactRate(e.fps)),
        QStringLiteral("like-window=") + (e.likeWindow ? QStringLiteral("yes") : QStringLiteral("no")),
        QStringLiteral("sound=") + (e.audio ? QStringLiteral("yes") : QStringLiteral("no")),
        QStringLiteral("size=%1x%2").arg(info.width).arg(info.height),
    };
    return entries.join(QLatin1Char(';'));
}

QMap<QString, QString> settingsMap(const QString &settings)
{
    QMap<QString, QString> map;
    for (const QString &entry : settings.split(QLatin1Char(';'), Qt::SkipEmptyParts))
        map.insert(entry.section(QLatin1Char('='), 0, 0), entry.section(QLatin1Char('='), 1));
    return map;
}

// "mode: fuzzy against standard", for the first setting that differs.
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

} // namespace

bool parsePartSpec(const QString &text, PartSpec *part, QString *error)
{
    const QStringList numbers = text.split(QLatin1Char('/'));
    bool okIndex = false, okCount = false;
    const int index = numbers.value(0).toInt(&okIndex);
    const int count = numbers.size() == 2 ? numbers.at(1).toInt(&okCount) : 0;
    if (!okIndex || !okCount || count < 1 || index < 1 || index > count) {
        *error = QStringLiteral("--part takes K/N, part K of N with 1 <= K <= N, such as 3/8 (not '%1')").arg(text);
        return false;
    }
    part->index = index;
    part->count = count;
    return true;
}

FrameRange partRange(int outputs, const PartSpec &part)
{
    const auto bound = [&](int k) { return int(qint64(outputs) * k / part.count); };
    return FrameRange{bound(part.index - 1), part.isLast() ? -1 : bound(part.index)};
}

QString movieIdentity(const QString &path, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1 (%2)").arg(shown(path), file.errorString());
        return QString();
    }
    const qint64 size = file.size();
    QCryptographicHash hash(QCryptographicHash::Sha256);
    QByteArray bytes = file.read(qMin(size, IdentityBytes));
    hash.addData(bytes);
    if (size > IdentityBytes) {
        const qint64 tail = qMax(IdentityBytes, size - IdentityBytes);
        if (!file.seek(tail)) {
            *error = QStringLiteral("cannot read %1 (%2)").arg(shown(path), file.errorString());
            return QString();
        }
        bytes = file.read(size - tail);
        hash.addData(bytes);
    }
    if (file.error() != QFileDevice::NoError) {
        *error = QStringLiteral("cannot read %1 (%2)").arg(shown(path), file.errorString());
        return QString();
    }
    return QStringLiteral("%1-%2").arg(size).arg(QString::fromLatin1(hash.result().toHex().left(32)));
}

bool planPart(const StreamJob &job, const MovieInfo &info, PartPlan *plan, QString *error)
{
    const PartSpec &part = job.part;
    if (info.frames < 0) {
        *error = QStringLiteral("the length of %1 is unknown, so it cannot be split into parts").arg(shown(job.movie));
        return false;
    }
    const int outputs = info.frames - (WindowSize - 1);
    if (outputs < part.count) {
        *error = QStringLiteral("%1 gives %2 denoised frames, too few for %3 parts")
                     .arg(shown(job.movie)).arg(qMax(0, outputs)).arg(part.count);
        return false;
    }
    const QString identity = movieIdentity(job.movie, error);
    if (identity.isEmpty())
        return false;

    PartPlan result;
    result.range = partRange(outputs, part);
    result.frames.first = result.range.first;
    result.frames.count = result.range.end >= 0 ? result.range.end - result.range.first + (WindowSize - 1) : -1;
    QString rate = info.rateText();
    if (job.encode.likeWindow)
        rate = QStringLiteral("29/1");
    else if (!job.encode.fps.isEmpty())
        rate = exactRate(job.encode.fps);
    QStringList streams;
    for (const MovieInfo::Stream &stream : info.others)
        streams << stream.type;
    result.tags = QStringList{
        QStringLiteral("%1=%2/%3").arg(QLatin1String(PartTag)).arg(part.index).arg(part.count),
        QStringLiteral("%1=%2").arg(QLatin1String(FramesTag), rangeText(result.range)),
        QStringLiteral("%1=%2").arg(QLatin1String(SourceTag), identity),
        QStringLiteral("%1=%2").arg(QLatin1String(SourcePathTag), QFileInfo(job.movie).absoluteFilePath()),
        QStringLiteral("%1=%2").arg(QLatin1String(SettingsTag), partSettings(job, info)),
        QStringLiteral("%1=%2").arg(QLatin1String(RateTag), rate),
        QStringLiteral("%1=%2").arg(QLatin1String(StreamsTag), streams.join(QLatin1Char(','))),
    };
    *plan = result;
    return true;
}

bool readPartLabel(const QString &path, PartLabel *label, QString *error)
{
    QByteArray json;
    QString reason;
    if (!runFfprobe({QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-show_entries"),
                     QStringLiteral("format_tags"), QStringLiteral("-of"), QStringLiteral("json"),
                     QFileInfo(path).absoluteFilePath()},
                    &json, &reason)) {
        *error = QStringLiteral("%1 is not a movie (%2)").arg(shown(path), reason);
        return false;
    }
    // Containers differ in the case they give tag names.
    QMap<QString, QString> tags;
    const QJsonObject object = QJsonDocument::fromJson(json).object()
                                   .value(QStringLiteral("format")).toObject().value(QStringLiteral("tags")).toObject();
    for (auto it = object.begin(); it != object.end(); ++it)
        tags.insert(it.key().toUpper(), it.value().toString());

    PartLabel result;
    result.path = QFileInfo(path).absoluteFilePath();
    QString ignored;
    if (!tags.contains(QLatin1String(PartTag))) {
        *error = QStringLiteral("%1 is not a part made by nocta-cli all --part (it carries no part label)").arg(shown(path));
        return false;
    }
    if (!parsePartSpec(tags.value(QLatin1String(PartTag)), &result.part, &ignored)
        || !parseRange(tags.value(QLatin1String(FramesTag)), &result.range)
        || tags.value(QLatin1String(SourceTag)).isEmpty() || tags.value(QLatin1String(RateTag)).isEmpty()) {
        *error = QStringLiteral("the part label of %1 is damaged").arg(shown(path));
        return false;
    }
    result.source = tags.value(QLatin1String(SourceTag));
    result.sourcePath = tags.value(QLatin1String(SourcePathTag));
    result.settings = tags.value(QLatin1String(SettingsTag));
    result.rate = tags.value(QLatin1String(RateTag));
    result.streams = tags.value(QLatin1String(StreamsTag)).split(QLatin1Char(','), Qt::SkipEmptyParts);
    const QMap<QString, QString> settings = settingsMap(result.settings);
    result.sound = settings.value(QStringLiteral("sound")) != QLatin1String("no");
    result.retimed = settings.value(QStringLiteral("like-window")) == QLatin1String("yes")
                     || !settings.value(QStringLiteral("fps")).isEmpty();
    *label = result;
    return true;
}

bool planJoin(const QStringList &partPaths, const QString &streamsFrom, bool sound, JoinPlan *plan, QString *error)
{
    if (partPaths.isEmpty()) {
        *error = QStringLiteral("join needs the parts to join");
        return false;
    }
    QList<PartLabel> parts;
    for (const QString &path : partPaths) {
        PartLabel label;
        if (!readPartLabel(path, &label, error))
            return false;
        parts << label;
    }

    // One split of one movie, made alike.
    const PartLabel &first = parts.first();
    for (const PartLabel &part : parts) {
        if (part.part.count != first.part.count) {
            *error = QStringLiteral("%1 is part %2 of %3 but %4 is part %5 of %6: they come from different splits")
                         .arg(shown(first.path)).arg(first.part.index).arg(first.part.count)
                         .arg(shown(part.path)).arg(part.part.index).arg(part.part.count);
            return false;
        }
        if (part.source != first.source) {
            *error = QStringLiteral("%1 and %2 are parts of different movies").arg(shown(first.path), shown(part.path));
            return false;
        }
        if (part.settings != first.settings || part.rate != first.rate) {
            *error = QStringLiteral("%1 and %2 were made with different settings (%3)")
                         .arg(shown(first.path), shown(part.path),
                              part.settings != first.settings ? settingsDifference(first.settings, part.settings)
                                                              : QStringLiteral("rate %1 against %2").arg(first.rate, part.rate));
            return false;
        }
    }

    // Every part once.
    std::stable_sort(parts.begin(), parts.end(),
                     [](const PartLabel &a, const PartLabel &b) { return a.part.index < b.part.index; });
    for (int i = 1; i < parts.size(); ++i) {
        if (parts.at(i).part.index == parts.at(i - 1).part.index) {
            *error = QStringLiteral("part %1 of %2 is given twice: %3 and %4")
                         .arg(parts.at(i).part.index).arg(parts.at(i).part.count)
                         .arg(shown(parts.at(i - 1).path), shown(parts.at(i).path));
            return false;
        }
    }
    const int count = first.part.count;
    if (parts.size() != count) {
        QStringList missing;
        int next = 0;
        for (int k = 1; k <= count; ++k) {
            if (next < parts.size() && parts.at(next).part.index == k)
                ++next;
            else
                missing << QString::number(k);
        }
        *error = missing.size() == 1
                     ? QStringLiteral("part %1 of %2 is missing").arg(missing.first()).arg(count)
                     : QStringLiteral("parts %1 of %2 are missing").arg(missing.join(QStringLiteral(", "))).arg(count);
        return false;
    }

    // Their frames one after the other, the last to the end. Parts planned
    // from different frame counts (another ffprobe) would overlap or leave
    // a hole.
    for (int i = 0; i < parts.size(); ++i) {
        const PartLabel &part = parts.at(i);
        const int expectedFirst = i == 0 ? 0 : parts.at(i - 1).range.end;
        const bool last = i == parts.size() - 1;
        if (part.range.first != expectedFirst || (part.range.end < 0) != last) {
            *error = QStringLiteral("%1 holds output frames %2 where frames %3 on were due: the parts were not planned alike "
                                    "(made by different versions of nocta-cli or ffprobe?)")
                         .arg(shown(part.path), rangeText(part.range)).arg(expectedFirst);
            return false;
        }
    }

    // The movie the other streams come from, when there is any to take.
    JoinPlan result;
    result.parts = parts;
    const bool wantSound = sound && first.sound;
    bool needed = false;
    for (const QString &type : first.streams)
        needed = needed || type == QLatin1String("subtitle") || (type == QLatin1String("audio") && wantSound);
    if (first.retimed || !needed) {
        *plan = result;
        return true;
    }
    const QString source = streamsFrom.isEmpty() ? first.sourcePath : QFileInfo(streamsFrom).absoluteFilePath();
    if (streamsFrom.isEmpty() && !QFileInfo(source).isFile()) {
        *error = QStringLiteral("the movie the parts were made from, %1, is not there: name it with --audio-from%2")
                     .arg(shown(source), first.streams.contains(QLatin1String("subtitle"))
                                             ? QString() : QStringLiteral(", or leave the sound out with --no-audio"));
        return false;
    }
    const QString identity = movieIdentity(source, error);
    if (identity.isEmpty())
        return false;
    if (identity != first.source) {
        *error = QStringLiteral("%1 is not the movie the parts were made from").arg(shown(source));
        return false;
    }
    result.streamSource = source;
    result.sound = wantSound;
    *plan = result;
    return true;
}

bool joinParts(const JoinPlan &plan, const QString &output, RunSink &sink)
{
    const QString shownOutput = shown(output);
    QString target, error;
    if (plan.parts.isEmpty()) {
        sink.logFailure(QStringLiteral(" - Joining failed: no parts."));
        return false;
    }
    if (!checkOutputMovie(QFileInfo(output).absoluteFilePath(), &error, &target)) {
        sink.logFailure(QStringLiteral(" - Joining failed: %1.").arg(error));
        return false;
    }
    const PartLabel &first = plan.parts.first();
    sink.log(QStringLiteral(" - Joining %1 parts of %2 into %3")
                 .arg(plan.parts.size()).arg(shown(first.sourcePath), shownOutput));

    qint64 rateNum = 0, rateDen = 1;
    if (!parseRate(first.rate, &rateNum, &rateDen)) {
        sink.logFailure(QStringLiteral(" - Joining failed: the parts give no frame rate."));
        return false;
    }
    QList<KeptStream> streams;
    if (!plan.streamSource.isEmpty()) {
        MovieInfo info;
        if (!probeMovie(plan.streamSource, &info, &error)) {
            sink.logFailure(QStringLiteral(" - Joining failed: %1.").arg(error));
            return false;
        }
        streams = keptStreams(plan.streamSource, info, target, plan.sound, sink);
    }

    // The concat demuxer's list, with each part's length in full: the
    // length a container states may be rounded or padded, which would move
    // every later part.
    QTemporaryDir dir;
    if (!dir.isValid()) {
        sink.logFailure(QStringLiteral(" - Joining failed: cannot create a temporary directory (%1).").arg(dir.errorString()));
        return false;
    }
    QByteArray list = "ffconcat version 1.0\n";
    for (const PartLabel &part : plan.parts) {
        QString path = part.path;
        if (path.contains(QLatin1Char('\n')) || path.contains(QLatin1Char('\r'))) {
            sink.logFailure(QStringLiteral(" - Joining failed: the name of %1 holds a line break, which ffmpeg's list of "
                                           "parts cannot hold; rename it.").arg(shown(path)));
            return false;
        }
        list += "file '" + path.replace(QLatin1String("'"), QLatin1String("'\\''")).toUtf8() + "'\n";
        if (part.range.end >= 0)
            list += "duration " + gridTime(rateNum, rateDen, part.range.end - part.range.first).toLatin1() + "\n";
    }
    const QString listPath = dir.filePath(QStringLiteral("parts.ffconcat"));
    QFile listFile(listPath);
    if (!listFile.open(QIODevice::WriteOnly) || listFile.write(list) != list.size() || !listFile.flush()) {
        sink.logFailure(QStringLiteral(" - Joining failed: cannot write %1 (%2).").arg(shown(listPath), listFile.errorString()));
        return false;
    }
    listFile.close();

    if (!QDir().mkpath(QFileInfo(target).absolutePath())) {
        sink.logFailure(QStringLiteral(" - Joining failed: could not create the directory %1.")
                            .arg(shown(QFileInfo(target).absolutePath())));
        return false;
    }

    // The other streams first, into a file of the output's container beside
    // it, cut as in a whole run; then the parts' video, copied, and those
    // streams, copied, both keeping their times (-copyts).
    removeStalePartialMovies(target);
    const QString partial = partialMovieName(target);
    const QString streamsFile = streams.isEmpty() ? QString() : partialMovieName(target);
    const auto run = [&sink, &dir](const QStringList &arguments) {
        const QString reason = runFfmpeg(dir.path(), arguments, [&sink] { return sink.stopRequested(); });
        return reason.isEmpty() || !sink.stopRequested() ? reason : QStringLiteral("stopped");
    };
    const QStringList quiet{QStringLiteral("-nostdin"), QStringLiteral("-loglevel"), QStringLiteral("error")};
    QString failure;
    if (!streams.isEmpty()) {
        const double offset = 2.0 * double(rateDen) / double(rateNum);
        failure = encodeSubtitlesAhead(&streams, dir.path(), QFileInfo(target).suffix(),
                                       [&sink] { return sink.stopRequested(); });
        if (failure.isEmpty())
            failure = run(quiet + keptStreamInputs(streams, offset) + keptStreamOutputs(streams, offset, 0, 0)
                          + QStringList{streamsFile});
    }
    if (failure.isEmpty()) {
        QStringList arguments = quiet;
        arguments << QStringLiteral("-copyts") << QStringLiteral("-f") << QStringLiteral("concat")
                  << QStringLiteral("-safe") << QStringLiteral("0") << QStringLiteral("-i") << listPath;
        if (!streams.isEmpty())
            arguments << QStringLiteral("-i") << streamsFile;
        arguments << QStringLiteral("-map") << QStringLiteral("0:v:0");
        if (!streams.isEmpty())
            arguments << QStringLiteral("-map") << QStringLiteral("1");
        // The parts' labels stay with the parts: the joined movie is no part.
        arguments << QStringLiteral("-c") << QStringLiteral("copy") << QStringLiteral("-map_metadata:g")
                  << QStringLiteral("-1") << partial;
        failure = run(arguments);
    }
    if (!streamsFile.isEmpty())
        QFile::remove(streamsFile);
    if (failure.isEmpty() && (!QFileInfo(partial).isFile() || QFileInfo(partial).size() == 0))
        failure = QStringLiteral("ffmpeg wrote no movie");
    // The movie replaces an earlier one only when it holds every frame of
    // the parts (where ffprobe is there to count them): the labels give
    // the counts of all parts but the last.
    if (failure.isEmpty()) {
        const int last = countVideoPackets(plan.parts.last().path, &error);
        const int joined = last < 0 ? last : countVideoPackets(partial, &error);
        int expected = last;
        for (int i = 0; i + 1 < plan.parts.size(); ++i)
            expected += plan.parts.at(i).range.end - plan.parts.at(i).range.first;
        if (joined == -1)
            failure = QStringLiteral("the movie written cannot be read back (%1)").arg(error);
        else if (joined >= 0 && joined != expected)
            failure = QStringLiteral("the movie written holds %1 of the parts' %2 frames").arg(joined).arg(expected);
    }
    if (failure.isEmpty() && (!syncFile(partial, &error) || !replaceFile(partial, target, &error)))
        failure = QStringLiteral("could not write %1 (%2)").arg(shownOutput, error);
    if (!failure.isEmpty()) {
        QFile::remove(partial);
        sink.logFailure(QStringLiteral(" - Joining failed: %1.").arg(failure));
        return false;
    }
    sink.log(QStringLiteral(" - Movie created."));
    return true;
}

} // namespace nocta
