#include "pipeline/movie/moviejoin.h"

#include "pipeline/core/runsink.h"
#include "pipeline/movie/ffmpegrun.h"
#include "pipeline/movie/keptstreams.h"
#include "pipeline/movie/movieoutput.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>

namespace nocta {

namespace {

QString shown(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

Error joinError(const QString &detail, const QString &reason = QString())
{
    return Error::failed(Error::Stage::Joining, detail, reason);
}

// One split of one movie, made alike.
Error checkMadeAlike(const QList<PartLabel> &parts)
{
    const PartLabel &first = parts.first();
    for (const PartLabel &part : parts) {
        if (part.part.count != first.part.count)
            return joinError(QStringLiteral("%1 is part %2 of %3 but %4 is part %5 of %6: they come from different splits")
                                 .arg(shown(first.path)).arg(first.part.index).arg(first.part.count)
                                 .arg(shown(part.path)).arg(part.part.index).arg(part.part.count));
        if (part.source != first.source)
            return joinError(QStringLiteral("%1 and %2 are parts of different movies").arg(shown(first.path), shown(part.path)));
        if (part.settings != first.settings || part.rate != first.rate)
            return joinError(QStringLiteral("%1 and %2 were made with different settings (%3)")
                                 .arg(shown(first.path), shown(part.path),
                                      part.settings != first.settings
                                          ? settingsDifference(first.settings, part.settings)
                                          : QStringLiteral("rate %1 against %2").arg(first.rate, part.rate)));
    }
    return Error();
}

// A part holds what its label plans: every frame of its range, and the
// last part, which runs to the movie's end, as many frames as the length
// its container recorded when it was finished. A file whose writer was
// stopped or killed records no length; one cut short holds fewer frames.
Error checkWhole(const PartLabel &part)
{
    const QString which = QStringLiteral("part %1 of %2").arg(part.part.index).arg(part.part.count);
    qint64 rateNum = 0, rateDen = 1;
    if (!parseRate(part.rate, &rateNum, &rateDen))
        return joinError(QStringLiteral("the part label of %1 is damaged").arg(shown(part.path)));
    const bool last = part.range.end < 0;
    const int planned = last ? (part.seconds < 0 ? -1 : int(qRound64(part.seconds * double(rateNum) / double(rateDen))))
                             : part.range.end - part.range.first;
    if (last && planned < 0)
        return joinError(QStringLiteral("%1 (%2) was never finished: it records no length; make it again")
                             .arg(shown(part.path), which));
    if (part.frames != planned || planned < 1)
        return joinError(QStringLiteral("%1 (%2) holds %3 of its %4 frames: it was cut short or not finished; make it again")
                             .arg(shown(part.path), which).arg(part.frames).arg(planned));
    return Error();
}

// A container in words: "Matroska" for "matroska,webm".
QString containerName(const QString &format)
{
    if (format.contains(QLatin1String("matroska")))
        return QStringLiteral("Matroska");
    if (format.contains(QLatin1String("mp4")))
        return QStringLiteral("MP4");
    return format;
}

// Every part once, in order (parts sorted by index).
Error checkEveryPartOnce(const QList<PartLabel> &parts)
{
    for (int i = 1; i < parts.size(); ++i) {
        if (parts.at(i).part.index == parts.at(i - 1).part.index)
            return joinError(QStringLiteral("part %1 of %2 is given twice: %3 and %4")
                                 .arg(parts.at(i).part.index).arg(parts.at(i).part.count)
                                 .arg(shown(parts.at(i - 1).path), shown(parts.at(i).path)));
    }
    const int count = parts.first().part.count;
    if (parts.size() == count)
        return Error();
    QStringList missing;
    int next = 0;
    for (int k = 1; k <= count; ++k) {
        if (next < parts.size() && parts.at(next).part.index == k)
            ++next;
        else
            missing << QString::number(k);
    }
    return joinError(missing.size() == 1
                         ? QStringLiteral("part %1 of %2 is missing").arg(missing.first()).arg(count)
                         : QStringLiteral("parts %1 of %2 are missing").arg(missing.join(QStringLiteral(", "))).arg(count));
}

// Their frames one after the other, the last to the end. Parts planned
// from different frame counts (another ffprobe) would overlap or leave a
// hole.
Error checkRanges(const QList<PartLabel> &parts)
{
    for (int i = 0; i < parts.size(); ++i) {
        const PartLabel &part = parts.at(i);
        const int expectedFirst = i == 0 ? 0 : parts.at(i - 1).range.end;
        const bool last = i == parts.size() - 1;
        if (part.range.first != expectedFirst || (part.range.end < 0) != last)
            return joinError(QStringLiteral("%1 holds output frames %2 where frames %3 on were due: the parts were not "
                                            "planned alike (made by different versions of this program or ffprobe?)")
                                 .arg(shown(part.path), rangeText(part.range)).arg(expectedFirst));
    }
    return Error();
}

// The movie the other streams come from, when there is any to take.
Error planStreams(const PartLabel &first, const QString &streamsFrom, bool sound, JoinPlan *plan)
{
    const bool wantSound = sound && first.sound;
    bool needed = false;
    for (const QString &type : first.streams)
        needed = needed || type == QLatin1String("subtitle") || (type == QLatin1String("audio") && wantSound);
    if (first.retimed || !needed)
        return Error();
    const QString source = streamsFrom.isEmpty() ? first.sourcePath : QFileInfo(streamsFrom).absoluteFilePath();
    if (streamsFrom.isEmpty() && !QFileInfo(source).isFile())
        return Error{Error::Stage::Joining,
                     first.streams.contains(QLatin1String("subtitle")) ? Error::Kind::SourceGone : Error::Kind::SoundSourceGone,
                     QStringLiteral("the movie the parts were made from, %1, is not there").arg(shown(source)),
                     QString(), shown(source)};
    QString identity;
    if (Error error = movieIdentity(source, &identity)) {
        error.stage = Error::Stage::Joining;
        return error;
    }
    if (identity != first.source)
        return joinError(QStringLiteral("%1 is not the movie the parts were made from").arg(shown(source)));
    plan->streamSource = source;
    plan->sound = wantSound;
    return Error();
}

// The concat demuxer's list, with each part's length in full: the length
// a container states may be rounded or padded, which would move every
// later part.
Error writeConcatList(const JoinPlan &plan, qint64 rateNum, qint64 rateDen, const QString &listPath)
{
    QByteArray list = "ffconcat version 1.0\n";
    for (const PartLabel &part : plan.parts) {
        QString path = part.path;
        if (path.contains(QLatin1Char('\n')) || path.contains(QLatin1Char('\r')))
            return joinError(QStringLiteral("the name of %1 holds a line break, which ffmpeg's list of parts cannot "
                                            "hold; rename it").arg(shown(path)));
        list += "file '" + path.replace(QLatin1String("'"), QLatin1String("'\\''")).toUtf8() + "'\n";
        if (part.range.end >= 0)
            list += "duration " + gridTime(rateNum, rateDen, part.range.end - part.range.first).toLatin1() + "\n";
    }
    QFile listFile(listPath);
    if (!listFile.open(QIODevice::WriteOnly) || listFile.write(list) != list.size() || !listFile.flush())
        return joinError(QStringLiteral("cannot write %1").arg(shown(listPath)), listFile.errorString());
    return Error();
}

// The frames the joined movie must hold: what the parts hold, as measured
// when their labels were read (else as their ranges say, the last part
// counted); -1 when ffprobe cannot count them.
Error expectedFrames(const JoinPlan &plan, int *frames)
{
    *frames = 0;
    for (const PartLabel &part : plan.parts) {
        int count = part.frames >= 0 ? part.frames : part.range.end >= 0 ? part.range.end - part.range.first : -1;
        if (count < 0) {
            if (Error unreadable = countVideoPackets(part.path, &count)) {
                unreadable.stage = Error::Stage::Joining;
                return unreadable;
            }
        }
        if (count < 0) {
            *frames = -1;
            return Error();
        }
        *frames += count;
    }
    return Error();
}

// The joined movie holds every frame of the parts, and lasts as long as
// they make at their rate: parts whose times do not line up would give a
// movie of another length.
Error checkJoined(const QString &partial, int frames, qint64 rateNum, qint64 rateDen)
{
    VideoExtent joined;
    if (const Error unreadable = measureVideo(partial, &joined))
        return joinError(QStringLiteral("the joined movie cannot be read"), unreadable.reason);
    if (frames >= 0 && joined.frames != frames)
        return joinError(QStringLiteral("the joined movie holds %1 of the parts' %2 frames").arg(joined.frames).arg(frames));
    const double frameTime = double(rateDen) / double(rateNum);
    const double due = joined.frames * frameTime;
    if (joined.seconds < 0 || qAbs(joined.seconds - due) > frameTime / 2)
        return joinError(QStringLiteral("the joined movie lasts %1 s where its %2 frames make %3 s")
                             .arg(joined.seconds, 0, 'f', 3).arg(joined.frames).arg(due, 0, 'f', 3));
    return Error();
}

// The ffmpeg commands of a join: the other streams first, into a scratch
// file of the output's container, cut as in a whole run; then the parts'
// video, copied, and those streams, copied, both keeping their times.
QList<QStringList> joinCommands(const JoinPlan &plan, const QList<KeptStream> &streams, double rate,
                                const QString &listPath, const QString &streamsFile, const QString &partial)
{
    const QStringList quiet{QStringLiteral("-nostdin"), QStringLiteral("-loglevel"), QStringLiteral("error")};
    QList<QStringList> commands;
    const double offset = plan.parts.first().window.shift() / rate;
    if (!streams.isEmpty())
        commands << quiet + keptStreamInputs(streams, offset, offset) + keptStreamOutputs(streams, offset, offset, 0, 0)
                        + QStringList{streamsFile};
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
    commands << arguments;
    return commands;
}

// The join itself, logging nothing.
Error join(const JoinPlan &plan, const QString &output, RunSink &sink, bool replace)
{
    const PartLabel &first = plan.parts.first();
    qint64 rateNum = 0, rateDen = 1;
    if (!parseRate(first.rate, &rateNum, &rateDen))
        return joinError(QStringLiteral("the parts give no frame rate"));
    const StopRequest stop = [&sink] { return sink.stopRequested(); };
    MovieOutput movie(QFileInfo(output).absoluteFilePath(), Error::Stage::Joining, output);
    movie.setStopCheck(stop);
    movie.setReplace(replace);
    if (Error error = movie.open())
        return error;
    QList<KeptStream> streams;
    if (!plan.streamSource.isEmpty()) {
        MovieInfo info;
        if (Error error = probeMovie(plan.streamSource, &info))
            return Error::failed(Error::Stage::Joining, error.detail, error.reason);
        streams = keptStreams(plan.streamSource, info, movie.target(), plan.sound, sink);
    }
    QTemporaryDir dir;
    if (!dir.isValid())
        return joinError(QStringLiteral("cannot create a temporary directory"), dir.errorString());
    const QString listPath = dir.filePath(QStringLiteral("parts.ffconcat"));
    if (Error error = writeConcatList(plan, rateNum, rateDen, listPath))
        return error;
    const QString streamsFile = streams.isEmpty() ? QString() : movie.scratch();
    const Fault fault = encodeSubtitlesAhead(&streams, dir.path(), QFileInfo(movie.target()).suffix(), stop);
    if (stop())
        return Error::stopped(Error::Stage::Joining);
    if (fault)
        return fault.error(Error::Stage::Joining);
    for (const QStringList &arguments : joinCommands(plan, streams, double(rateNum) / double(rateDen), listPath,
                                                     streamsFile, movie.partial())) {
        const Fault fault = runFfmpeg(dir.path(), arguments, stop);
        if (stop())
            return Error::stopped(Error::Stage::Joining);
        if (fault)
            return fault.error(Error::Stage::Joining);
    }
    int frames = -1;
    if (Error error = expectedFrames(plan, &frames))
        return error;
    if (Error error = checkJoined(movie.partial(), frames, rateNum, rateDen))
        return error;
    return movie.commit(-1);
}

} // namespace

Error planJoin(QList<PartLabel> parts, const QString &streamsFrom, bool sound, JoinPlan *plan)
{
    if (parts.isEmpty())
        return joinError(QStringLiteral("join needs the parts to join"));
    if (Error error = checkMadeAlike(parts))
        return error;
    std::stable_sort(parts.begin(), parts.end(),
                     [](const PartLabel &a, const PartLabel &b) { return a.part.index < b.part.index; });
    if (Error error = checkEveryPartOnce(parts))
        return error;
    if (Error error = checkRanges(parts))
        return error;
    JoinPlan result;
    result.parts = parts;
    if (Error error = planStreams(parts.first(), streamsFrom, sound, &result))
        return error;
    *plan = result;
    return Error();
}

Error planJoin(const QStringList &partPaths, const QString &streamsFrom, bool sound, JoinPlan *plan)
{
    QList<PartLabel> parts;
    for (const QString &path : partPaths) {
        if (isPartialMovie(path))
            return joinError(QStringLiteral("%1 is an unfinished file (of a part still being made, or stopped or killed), "
                                            "not a part").arg(shown(path)));
        PartLabel label;
        if (Error error = readPartLabel(path, &label))
            return error;
        if (Error error = checkWhole(label))
            return error;
        if (!parts.isEmpty() && label.container != parts.first().container)
            return joinError(QStringLiteral("%1 and %2 are in different containers (%3 and %4); join takes parts of "
                                            "one kind: make them alike")
                                 .arg(shown(parts.first().path), shown(label.path),
                                      containerName(parts.first().container), containerName(label.container)));
        parts << label;
    }
    return planJoin(parts, streamsFrom, sound, plan);
}

bool joinParts(const JoinPlan &plan, const QString &output, RunSink &sink, bool replace)
{
    if (plan.parts.isEmpty()) {
        sink.logFailure(QStringLiteral(" - Joining failed: no parts."));
        return false;
    }
    if (const Error refusal = checkOutputMovie(QFileInfo(output).absoluteFilePath())) {
        sink.logFailure(joinError(refusal.detail).line());
        return false;
    }
    sink.log(QStringLiteral(" - Joining %1 parts of %2 into %3")
                 .arg(plan.parts.size()).arg(shown(plan.parts.first().sourcePath), shown(output)));
    if (const Error error = join(plan, output, sink, replace)) {
        sink.logFailure(error.line());
        return false;
    }
    sink.log(QStringLiteral(" - Movie created."));
    return true;
}

} // namespace nocta
