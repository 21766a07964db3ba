#pragma once

#include "pipeline/movie/moviestream.h"
#include "pipeline/run/processingrun.h"

#include <QString>
#include <QStringList>

namespace nocta::cli {

enum class Command { Help, Version, Decode, Process, Encode, All, Join, Demo };

// What the command line asked for. Paths are as given; they are resolved
// against the current directory when the command runs.
struct Options
{
    Command command = Command::Help;
    QStringList movies;              // decode: one; all: one or more; join: the parts
    QString workDir;                 // --workdir; empty: the current directory
    DenoiseMode mode = DenoiseMode::Fuzzy;
    QString output;                  // -o; empty: the default place
    bool quiet = false;              // --quiet: no progress display
    bool keep = false;               // --keep: keep the batch work directories
    bool viaFrames = false;          // --via-frames: all through screens/ and processed/
    bool overwrite = false;          // -y: replace an existing output
    EncodeSettings encode;           // all: how the movie is encoded
    PartSpec part;                   // all --part K/N: that part only
    MovieCut cut;                    // all --start, --duration: that piece only
    QString audioFrom;               // join --audio-from: the movie the sound comes from
};

// Exit statuses of nocta-cli.
enum ExitStatus {
    ExitOk = 0,
    ExitFailed = 1,       // a stage failed, or a movie of a batch did
    ExitUsage = 2,        // the command line itself is wrong, or names parts that do not join
    ExitInterrupted = 130 // stopped by Ctrl-C
};

// Reads the arguments (without the program name). On a mistake returns
// false and a one-line reason in *error.
bool parseArguments(const QStringList &arguments, Options *options, QString *error);

// The text of --help.
QString helpText();

} // namespace nocta::cli
