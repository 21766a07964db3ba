#pragma once

#include "pipeline/core/error.h"
#include "pipeline/movie/partplan.h"

#include <QList>
#include <QString>
#include <QStringList>

namespace nocta {

class RunSink;

// What join does: the parts in order, and the movie the other streams
// come from (empty: none).
struct JoinPlan
{
    QList<PartLabel> parts;
    QString streamSource;
    bool sound = true;     // its sound goes along, not only its subtitles
};

// Checks that the parts' labels make one movie: parts of one split (same
// N) of one movie, with the same settings, every part once, their ranges
// one after the other. The other streams come from streamsFrom, by default
// the movie where the parts say it was; it must be that movie, and is not
// needed when there is nothing to take from it (sound is false and it has
// no subtitles, or the frames were timed anew). The error names what is
// wrong in one line.
Error planJoin(QList<PartLabel> parts, const QString &streamsFrom, bool sound, JoinPlan *plan);

// The same for the parts' files, reading their labels first. Only whole
// parts in one container join: a partial file (isPartialMovie()) is none,
// and every part must hold the frames its label plans (the last one, the
// frames of the length it recorded when finished).
Error planJoin(const QStringList &partPaths, const QString &streamsFrom, bool sound, JoinPlan *plan);

// Joins the planned parts into output with ffmpeg's concat demuxer, the
// video copied, the other streams taken from the movie in step as in a
// whole run. The output takes its name only when complete: holding every
// frame of the parts, and lasting as long as they make. Without replace, a
// file that appears at output meanwhile is left as it is and the join
// fails. Logs as the stages do; returns success.
bool joinParts(const JoinPlan &plan, const QString &output, RunSink &sink, bool replace = true);

} // namespace nocta
