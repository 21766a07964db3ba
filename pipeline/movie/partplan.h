#pragma once

#include "pipeline/core/error.h"
#include "pipeline/movie/decodeplan.h"
#include "pipeline/movie/encodeplan.h"
#include "pipeline/movie/movieprobe.h"
#include "pipeline/run/processingrun.h"

#include <QMap>
#include <QString>
#include <QStringList>

namespace nocta {

// One long movie over many jobs. Part K of N denoises the K-th of N
// consecutive, nearly equal ranges of the movie's output frames; it decodes
// the frames before and after its range that its windows need, so that
// the parts together give exactly the frames of a whole run. Every part
// works out the same ranges on its own, from the movie's probed frame
// count, and the last part runs to the movie's true end, so a count that
// is a little off never loses or doubles a frame. A part's file carries a
// label (metadata tags) saying what it is; join checks the labels and puts
// the parts one after the other without encoding again, with the movie's
// sound and subtitles.

// Part K of N of a movie; count 0: the whole movie.
struct PartSpec
{
    int index = 0;
    int count = 0;

    bool isPart() const { return count > 0; }
    bool isLast() const { return index == count; }
};

// Reads "K/N" (1 <= K <= N); false when the text is not that.
bool parsePartSpec(const QString &text, PartSpec *part);

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

// What a part is made of: the movie (as probed) and how it is denoised
// and encoded.
struct PartJob
{
    QString movie;
    PartSpec part;
    DenoiseMode mode = DenoiseMode::Fuzzy;
    EncodePlan encode;
};

// Plans a part; an error when the movie cannot be split so (length
// unknown, fewer output frames than parts) or cannot be read.
Error planPart(const PartJob &job, const MovieInfo &info, PartPlan *plan);

// The identity of a movie file, the same on any machine whatever its path
// or times: its size and a hash of its first and last MiB; an error when
// it cannot be read.
Error movieIdentity(const QString &path, QString *identity);

// What a part's label says.
struct PartLabel
{
    QString path;          // the part's file
    PartSpec part;
    FrameRange range;
    QString source;        // movieIdentity() of the movie
    QString sourcePath;    // where the movie was when the part was made
    QString settings;      // how it was denoised and encoded (EncodePlan::label())
    QString rate;          // the rate of its frames, "25/1"
    QStringList streams;   // the types of the movie's other streams
    TemporalWindow window; // the window of the mode it was denoised in
    bool sound = true;     // the movie's sound is wanted
    bool retimed = false;  // frames timed anew: no other stream keeps in step
    // What the file holds (readPartLabel): its container, its frames and
    // the length it recorded when finished (-1: none, or not read).
    QString container;
    int frames = -1;
    double seconds = -1;
};

// The label of the part at path from its tags (names in upper case);
// an error of kind NotAPart, or a damaged label.
Error partLabelFromTags(const QString &path, const QMap<QString, QString> &tags, PartLabel *label);

// Reads the label of a part's file, and measures what the file holds.
Error readPartLabel(const QString &path, PartLabel *label);

// "mode: fuzzy against standard", for the first setting of two labels'
// settings that differs.
QString settingsDifference(const QString &a, const QString &b);

// "12-24", "36-" for a range.
QString rangeText(const FrameRange &range);

} // namespace nocta
