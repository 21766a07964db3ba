#pragma once

#include <QString>

namespace nocta {

// How the pipeline reports a failure, in two shapes and no other:
//
// - An Error: what went wrong in a stage, in one shape for every stage: the
//   stage that failed and what in it (the file or setting, as shown), the
//   kind of failure (which the front ends may word in their own terms), the
//   detail in the pipeline's words, and the reason the system or ffmpeg
//   gave. An Error of kind None is no error: it tests false.
// - A Fault: what a step below the stages gives, one that knows why it
//   failed but not in which stage (a file written, flushed or renamed, a
//   frame read, one run of ffmpeg or ffprobe, a thread started): the reason
//   the system or ffmpeg gave. It tests true when the step failed. The
//   caller, which knows the stage, makes it an Error with Fault::error().
//
// Functions return one of the two (an object that works in steps, such as
// FfmpegProcess, answers each with true or false and gives its Fault on
// asking); no text out-parameter, no empty text for success, no status
// number stands for a failure.
struct Error
{
    enum class Stage { Decoding, Processing, Encoding, Joining };

    enum class Kind {
        None,
        Failed,                // the detail says what, the reason why
        Stopped,               // asked to stop, or stopped by what the detail says
        NoFrames,              // subject: the folder that holds no frame
        // Encode settings that do not go together.
        WindowFixesEncoding,   // the window's encoding takes no other setting
        LosslessTakesNoQuality,
        LosslessNeedsMatroska,
        QualityAndBitrate,
        QualityOutOfRange,
        UnknownPreset,         // subject: the preset
        NoContainer,           // the output's suffix names no movie container
        // Parts and join.
        NotAPart,              // subject: the file
        SourceGone,            // subject: the movie the parts came from, not there
        SoundSourceGone,       // the same, where only its sound was wanted
    };

    Stage stage = Stage::Processing;
    Kind kind = Kind::None;
    QString detail;
    QString reason;
    QString subject;

    static Error failed(Stage stage, const QString &detail, const QString &reason = QString())
    {
        return Error{stage, Kind::Failed, detail, reason, QString()};
    }

    static Error stopped(Stage stage) { return Error{stage, Kind::Stopped, QString(), QString(), QString()}; }

    explicit operator bool() const { return kind != Kind::None; }

    // The detail, with the reason in brackets when there is one:
    // "the new movie cannot be read (Invalid data)".
    QString text() const;

    // The console line: " - Encoding failed: <text>."; " - Processing
    // stopped." for a stop, " - Processing stopped: <detail>" for one with a
    // cause; " - No frames to process in <subject>/".
    QString line() const;
};

struct Fault
{
    bool failed = false;
    QString reason;   // in the system's or ffmpeg's words; not empty when failed
    int code = 0;     // the system's error number (errno), where it gave one

    static Fault because(const QString &reason, int code = 0) { return Fault{true, reason, code}; }

    explicit operator bool() const { return failed; }

    // The Error of stage that this fault makes, none when nothing failed:
    // with the reason as its detail, or with detail and the reason beside it
    // ("could not replace out.mp4 (Permission denied)").
    Error error(Error::Stage stage) const;
    Error error(Error::Stage stage, const QString &detail) const;
};

} // namespace nocta
