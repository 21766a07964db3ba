#pragma once

#include "pipeline/moviestream.h"

#include <QList>
#include <QString>
#include <QStringList>

namespace nocta {

class RunSink;

// One long movie over many jobs. Part K of N denoises the K-th of N
// consecutive, nearly equal ranges of the movie's output frames; it decodes
// the two frames before and after its range that its windows need, so that
// the parts together give exactly the frames of a whole run. Every part
// works out the same ranges on its own, from the movie's probed frame
// count, and the last part runs to the movie's true end, so a count that
// is a little off never loses or doubles a frame. A part's file carries a
// label (metadata tags) saying what it is; join checks the labels and puts
// the parts one after the other without encoding again, with the movie's
// sound and subtitles.

// Reads "K/N" (1 <= K <= N); false with a reason.
bool parsePartSpec(const QString &text, PartSpec *part, QString *error);

// Output frames [first, end); end -1: to the end of the movie.
struct FrameRange
{
    int first = 0;
    int end = -1;
};

// The output frames of part K of N of a movie expected to give `outputs`
// output frames: [floor(outputs (K-1) / N), floor(outputs K / N)), the
// last part to the end.
FrameRange partRange(int outputs, const PartSpec &part);

// A part, before any work: its output frames, the decoded frames it needs
// and the tags ("KEY=value") of its label.
struct PartPlan
{
    FrameRange range;
    FrameSpan frames;
    QStringList tags;
};

// Plans job's part of the movie described by info. False with a reason
// when the movie cannot be split so (length unknown, fewer output frames
// than parts) or cannot be read.
bool planPart(const StreamJob &job, const MovieInfo &info, PartPlan *plan, QString *error);

// The identity of a movie file, the same on any machine whatever its path
// or times: its size and a hash of its first and last MiB. Empty with a
// reason when it cannot be read.
QString movieIdentity(const QString &path, QString *error);

// What a part's label says.
struct PartLabel
{
    QString path;          // the part's file
    PartSpec part;
    FrameRange range;
    QString source;        // movieIdentity() of the movie
    QString sourcePath;    // where the movie was when the part was made
    QString settings;      // how it was denoised and encoded
    QString rate;          // the rate of its frames, "25/1"
    QStringList streams;   // the types of the movie's other streams
    bool sound = true;     // the movie's sound is wanted (no --no-audio)
    bool retimed = false;  // frames timed anew: no other stream keeps in step
};

// Reads the label of a part's file; false with a reason when it has none.
bool readPartLabel(const QString &path, PartLabel *label, QString *error);

// What join does: the parts in order, and the movie the other streams
// come from (empty: none).
struct JoinPlan
{
    QList<PartLabel> parts;
    QString streamSource;
    bool sound = true;     // its sound goes along, not only its subtitles
};

// Reads the parts' labels and checks that they make one movie: parts of
// one split (same N) of one movie, with the same settings, every part once,
// their ranges one after the other. The other streams come from
// streamsFrom, by default the movie where the parts say it was; it must be
// that movie, and is not needed when there is nothing to take from it
// (sound is false and it has no subtitles, or the frames were timed anew).
// False with one line naming what is wrong.
bool planJoin(const QStringList &partPaths, const QString &streamsFrom, bool sound, JoinPlan *plan,
              QString *error);

// Joins the planned parts into output with ffmpeg's concat demuxer, the
// video copied, the other streams taken from the movie in step as in a
// whole run. The output takes its name only when complete. Logs as the
// stages do; returns success.
bool joinParts(const JoinPlan &plan, const QString &output, RunSink &sink);

} // namespace nocta
