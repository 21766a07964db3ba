#include "cli/optiontable.h"

namespace nocta::cli {

namespace {

constexpr Command Decode = Command::Decode;
constexpr Command Process = Command::Process;
constexpr Command Encode = Command::Encode;
constexpr Command All = Command::All;
constexpr Command Join = Command::Join;
constexpr Command Demo = Command::Demo;
constexpr Command Preview = Command::Preview;

using V = const Value &;

EncodeSettings::Codec codecNamed(const QString &name)
{
    if (name == QLatin1String("h265"))
        return EncodeSettings::Codec::H265;
    if (name == QLatin1String("ffv1"))
        return EncodeSettings::Codec::Ffv1;
    return EncodeSettings::Codec::H264;
}

} // namespace

// Every option of nocta-cli, in the order of --help. The parser, its checks,
// --help (and so the man page and the bash completion, which read --help)
// all come from here: a new option is one more row,
//   {names, value name or nullptr, the commands it applies to, the kind and
//    range of its value, what it sets, its help line[, route, refusal]}
// and, for a value of a new kind, one more Kind with its check.
const std::vector<OptionRow> &optionTable()
{
    static const std::vector<OptionRow> rows = {
        {"mode", "fuzzy|standard|quality", on(Process, All, Demo), choice(),
         [](Options &o, V v) { modeFromName(v.text, &o.mode); },
         "denoising chain (default: fuzzy). fuzzy and standard are the window's chains: frame n of the output "
         "is frame n+2 denoised, the first and last two frames give none. quality aligns each frame with its "
         "neighbours (--radius after it, the one before, and a running average of the scene before that), "
         "averages what matches and removes the noise left, at the noise level it measures in the movie; every "
         "frame is kept, at its own time; slower",
         Route::Any, "%1 does not apply to %2"},
        {"strength", "X", on(Process, All, Demo, Preview), number(QualityOptions::MinStrength, QualityOptions::MaxStrength),
         [](Options &o, V v) { o.quality.strength = v.real; },
         "with --mode quality: scale the noise level measured in the movie by X, 0.1 to 4 (default: 1; "
         "higher removes more noise, and more detail)", Route::Any, "%1 does not apply to %2", true},
        {"radius", "N", on(Process, All, Demo, Preview), wholeNumber(1, QualityOptions::MaxRadius),
         [](Options &o, V v) { o.quality.radius = v.number; },
         "with --mode quality: the frames after a frame that it is averaged with, 1 to 7 (default: 2); the "
         "frames before come as one running average", Route::Any,
         "%1 does not apply to %2", true},
        {"at", "TIME", on(Preview), time(), [](Options &o, V v) { o.at = v.real; },
         "the time of the frame shown (default: the middle of the movie)"},
        {"o,output", "FILE", on(Encode, All, Join, Preview), text(), [](Options &o, V v) { o.output = v.text; },
         "write the movie to FILE instead of <name>.denoised.mp4 in the work directory (out_movies/out.mp4 "
         "for encode and --via-frames; preview: the picture, default <name>.preview.png in the current "
         "directory); FILE's directory must exist, and its suffix name a movie container "
         "(.mp4, .mkv, .mov, .m4v, .avi, .nut or .ts). An existing directory, or a name ending in / (made "
         "when missing), means <name>.denoised.mp4 in it (out.mp4 for encode). A batch always takes a "
         "directory (default: the work directory). Taken from the current directory, not from --workdir. "
         "The movie takes its name only once complete."},
        {"y,overwrite", nullptr, on(All, Join, Preview), flag(), [](Options &o, V) { o.overwrite = true; },
         "replace an existing output (without it, they refuse to start, and a batch skips that movie)"},
        {"codec", "h264|h265|ffv1", on(All), choice(), [](Options &o, V v) { o.encode.codec = codecNamed(v.text); },
         "the video codec (default: h264); ffv1 is lossless and goes in Matroska (.mkv)", Route::Streamed},
        {"crf", "N", on(All), wholeNumber(0, 51), [](Options &o, V v) { o.encode.crf = v.number; },
         "quality, 0 (best) to 51 (default: 18 for h264, 20 for h265)", Route::Streamed},
        {"preset", "PRESET", on(All), choice(EncodeSettings::presets), [](Options &o, V v) { o.encode.preset = v.text; },
         "x264/x265 speed against size, ultrafast to veryslow (default: medium)", Route::Streamed},
        {"bitrate", "RATE", on(All), bitRate(10e3, 1000e6), [](Options &o, V v) { o.encode.bitrate = v.text; },
         "a bit rate from 10k to 1000M, such as 8M, instead of a quality", Route::Streamed},
        {"fps", "N", on(All), frameRate(), [](Options &o, V v) { o.encode.fps = v.text; },
         "time the frames at N per second (25, 29.97, 30000/1001) instead of the movie's rate; every frame "
         "is kept, so the movie plays faster or slower, and sound and subtitles are left out", Route::Streamed},
        {"no-audio", nullptr, on(All, Join), flag(), [](Options &o, V) { o.encode.audio = false; },
         "leave the sound out", Route::Streamed},
        {"start", "TIME", on(All), time(), [](Options &o, V v) { o.cut.start = v.real; },
         "begin at TIME into the movie (seconds, or [HH:]MM:SS[.frac]), to try settings on a piece of a long "
         "movie first; the frames are those of a whole run, with the sound and subtitles of the same time",
         Route::Streamed},
        {"duration", "TIME", on(All), duration(), [](Options &o, V v) { o.cut.duration = v.real; },
         "denoise only TIME of the movie, from --start (default: to the end)", Route::Streamed},
        {"part", "K/N", on(All), partOfN(), [](Options &o, V v) { o.part = v.part; },
         "denoise only part K of N (1 <= K <= N): the K-th of N nearly equal ranges of the denoised frames; "
         "the part carries a label for join, and no sound", Route::Streamed},
        {"audio-from", "MOVIE", on(Join), text(), [](Options &o, V v) { o.audioFrom = v.text; },
         "take sound and subtitles from MOVIE, which must be the movie the parts were made from (default: "
         "that movie where the parts say it was)"},
        {"like-window", nullptr, on(All), flag(), [](Options &o, V) { o.encode.likeWindow = true; },
         "encode as the window does (H.264 at 7500 kb/s, 29 frames per second, no sound)", Route::Streamed},
        {"via-frames", nullptr, on(All), flag(), [](Options &o, V) { o.viaFrames = true; },
         "go through screens/ and processed/ in the work directory and encode as the window does, instead "
         "of streaming"},
        {"workdir", "DIR", on(Decode, Process, Encode, All, Demo), text(), [](Options &o, V v) { o.workDir = v.text; },
         "work directory (default: the current directory); created by decode, all and demo when missing",
         Route::Any, "%1 does not apply to %2, which keeps no files of its own"},
        {"keep", nullptr, on(All), flag(), [](Options &o, V) { o.keep = true; },
         "keep each batch movie's work directory (DIR/nocta-<name>-XXXXXX)", Route::ViaFrames},
        {"q,quiet", nullptr, everyCommand, flag(), [](Options &o, V) { o.quiet = true; },
         "no progress display (console lines still appear)"},
        {"h,help", nullptr, everyCommand, answer(), [](Options &o, V) { o.command = Command::Help; }, "this text"},
        {"version", nullptr, everyCommand, answer(), [](Options &o, V) { o.command = Command::Version; },
         "the version"},
    };
    return rows;
}

// The commands, in the order their list is given in messages.
const std::vector<CommandRow> &commandTable()
{
    static const std::vector<CommandRow> rows = {
        {"decode", Decode, 1, 1, "a movie"},
        {"process", Process, 0, 0, nullptr},
        {"encode", Encode, 0, 0, nullptr},
        {"all", All, 1, -1, "at least one movie"},
        {"join", Join, 1, -1, "the parts to join"},
        {"demo", Demo, 0, 0, nullptr},
        {"preview", Preview, 1, 1, "a movie"},
    };
    return rows;
}

QString optionName(const OptionRow &row)
{
    const QString first = QString::fromLatin1(row.names).section(QLatin1Char(','), 0, 0);
    return (first.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + first;
}

QStringList commandNames(CommandSet commands)
{
    QStringList names;
    for (const CommandRow &row : commandTable())
        if (commands & commandBit(row.command))
            names << QString::fromLatin1(row.name);
    return names;
}

QString inWords(QStringList words)
{
    const QString last = words.isEmpty() ? QString() : words.takeLast();
    return words.isEmpty() ? last : words.join(QStringLiteral(", ")) + QStringLiteral(" and ") + last;
}

} // namespace nocta::cli
