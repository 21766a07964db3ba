#pragma once

#include "pipeline/core/error.h"

#include <QFileInfoList>
#include <QString>

namespace nocta {

// The layout of the folder the stages work in, and the only place that
// spells it:
//
//   screens/NNN.bmp        the decoded frames (three digits at least)
//   processed/NNN.png      one denoised frame per window of five
//   out_movies/out.mp4     the encoded movie
//
// The decoder writes by the pattern screens/%03d.bmp and the encoder reads
// by processed/%03d.png, both relative to the folder, in which ffmpeg runs.
class WorkFolder
{
public:
    // The folder at path; empty means the current directory.
    explicit WorkFolder(const QString &path = QString());

    QString path() const { return m_path; }               // absolute
    QString filePath(const QString &relative) const;     // below path()

    QString screens() const;                             // <path>/screens
    QString processed() const;                           // <path>/processed
    QString defaultMovie() const;                        // <path>/out_movies/out.mp4

    // Where the output of the window that starts with the frame of this
    // name goes: processed/<name>.png.
    QString outputFrame(const QString &frameName) const;

    static QString screensName() { return QStringLiteral("screens"); }
    static QString processedName() { return QStringLiteral("processed"); }
    static QString defaultMovieName() { return QStringLiteral("out_movies/out.mp4"); }
    static QString decodePattern() { return QStringLiteral("screens/%03d.bmp"); }
    static QString encodePattern() { return QStringLiteral("processed/%03d.png"); }

    // Creates screens/ or processed/ when missing; false when it is not a
    // directory afterwards.
    bool makeScreens() const;
    bool makeProcessed() const;

    // The numbered frames a decode wrote (screens/NNN.bmp) and the numbered
    // outputs of a run (processed/NNN.png), in name order.
    QFileInfoList decodedFrames() const;
    QFileInfoList outputFrames() const;

    // How many frames the encoder reads from processed/: ffmpeg takes the
    // numbers of processed/%03d.png one after another and stops at the first
    // that is missing, so the numbered outputs must follow each other
    // without a gap, each named as the pattern spells its number. An error
    // otherwise, naming the first gap or misnamed file: "processed/005.png
    // is missing (frames 001-004 and 006-036 are there)".
    Error encoderFrameCount(int *count) const;

    // Stale results of an earlier movie: a decode removes the numbered
    // .bmp frames, a processing run the numbered .png outputs. Nothing
    // else in those folders is touched. An error names the first file that
    // stayed.
    Error removeDecodedFrames() const;
    Error removeOutputFrames() const;

private:
    QString m_path;
};

} // namespace nocta
