#include "cli/options.h"

#include "pipeline/movie/partplan.h"

#include <QCommandLineParser>
#include <QRegularExpression>

namespace nocta::cli {

namespace {

struct CommandName
{
    const char *name;
    Command command;
};

const CommandName commandNames[] = {
    {"decode", Command::Decode},
    {"process", Command::Process},
    {"encode", Command::Encode},
    {"all", Command::All},
    {"join", Command::Join},
    {"demo", Command::Demo},
    {"help", Command::Help},
};

bool fail(QString *error, const QString &reason)
{
    if (error)
        *error = reason;
    return false;
}

// The single value of a valued option; false when it was given twice.
bool singleValue(const QCommandLineParser &parser, const QString &name, QString *value, QString *error)
{
    const QStringList values = parser.values(name);
    if (values.size() > 1)
        return fail(error, QStringLiteral("%1 given more than once").arg(name.size() == 1 ? "-" + name : "--" + name));
    if (!values.isEmpty())
        *value = values.first();
    return true;
}

} // namespace

bool parseArguments(const QStringList &arguments, Options *options, QString *error)
{
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsCompactedShortOptions);
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsOptions);
    const QCommandLineOption helpOption(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption versionOption(QStringLiteral("version"));
    const QCommandLineOption workDirOption(QStringLiteral("workdir"), QString(), QStringLiteral("DIR"));
    const QCommandLineOption modeOption(QStringLiteral("mode"), QString(), QStringLiteral("MODE"));
    const QCommandLineOption outputOption(QStringList{QStringLiteral("o"), QStringLiteral("output")}, QString(),
                                          QStringLiteral("FILE"));
    const QCommandLineOption quietOption(QStringList{QStringLiteral("q"), QStringLiteral("quiet")});
    const QCommandLineOption keepOption(QStringLiteral("keep"));
    const QCommandLineOption viaFramesOption(QStringLiteral("via-frames"));
    const QCommandLineOption overwriteOption(QStringList{QStringLiteral("y"), QStringLiteral("overwrite")});
    const QCommandLineOption noAudioOption(QStringLiteral("no-audio"));
    const QCommandLineOption likeWindowOption(QStringLiteral("like-window"));
    const QCommandLineOption codecOption(QStringLiteral("codec"), QString(), QStringLiteral("CODEC"));
    const QCommandLineOption crfOption(QStringLiteral("crf"), QString(), QStringLiteral("N"));
    const QCommandLineOption presetOption(QStringLiteral("preset"), QString(), QStringLiteral("PRESET"));
    const QCommandLineOption bitrateOption(QStringLiteral("bitrate"), QString(), QStringLiteral("RATE"));
    const QCommandLineOption fpsOption(QStringLiteral("fps"), QString(), QStringLiteral("N"));
    const QCommandLineOption partOption(QStringLiteral("part"), QString(), QStringLiteral("K/N"));
    const QCommandLineOption audioFromOption(QStringLiteral("audio-from"), QString(), QStringLiteral("FILE"));
    parser.addOptions({helpOption, versionOption, workDirOption, modeOption, outputOption, quietOption, keepOption,
                       viaFramesOption, overwriteOption, noAudioOption, likeWindowOption, codecOption, crfOption,
                       presetOption, bitrateOption, fpsOption, partOption, audioFromOption});

    // The parser expects the program name first.
    if (!parser.parse(QStringList{QStringLiteral("nocta-cli")} + arguments)) {
        const QStringList unknown = parser.unknownOptionNames();
        if (!unknown.isEmpty()) {
            const QString &name = unknown.first();
            return fail(error, QStringLiteral("unknown option '%1%2'").arg(name.size() == 1 ? "-" : "--", name));
        }
        return fail(error, parser.errorText());
    }

    Options result;
    QStringList positional = parser.positionalArguments();
    if (parser.isSet(helpOption)) {
        result.command = Command::Help;
        *options = result;
        return true;
    }
    if (parser.isSet(versionOption)) {
        result.command = Command::Version;
        *options = result;
        return true;
    }
    if (positional.isEmpty())
        return fail(error, QStringLiteral("no command given; the commands are decode, process, encode, all, join and demo"));

    const QString commandText = positional.takeFirst();
    bool known = false;
    for (const CommandName &entry : commandNames) {
        if (commandText == QLatin1String(entry.name)) {
            result.command = entry.command;
            known = true;
        }
    }
    if (!known)
        return fail(error, QStringLiteral("unknown command '%1'; the commands are decode, process, encode, all, join and demo").arg(commandText));
    if (result.command == Command::Help) {
        *options = result;
        return true;
    }
    const QString command = commandText;

    QString modeText, codecText, crfText, partText;
    EncodeSettings &encode = result.encode;
    if (!singleValue(parser, QStringLiteral("workdir"), &result.workDir, error)
        || !singleValue(parser, QStringLiteral("mode"), &modeText, error)
        || !singleValue(parser, QStringLiteral("o"), &result.output, error)
        || !singleValue(parser, QStringLiteral("codec"), &codecText, error)
        || !singleValue(parser, QStringLiteral("crf"), &crfText, error)
        || !singleValue(parser, QStringLiteral("preset"), &encode.preset, error)
        || !singleValue(parser, QStringLiteral("bitrate"), &encode.bitrate, error)
        || !singleValue(parser, QStringLiteral("fps"), &encode.fps, error)
        || !singleValue(parser, QStringLiteral("part"), &partText, error)
        || !singleValue(parser, QStringLiteral("audio-from"), &result.audioFrom, error))
        return false;
    if (parser.isSet(workDirOption) && result.workDir.isEmpty())
        return fail(error, QStringLiteral("--workdir needs a directory"));
    if (parser.isSet(outputOption) && result.output.isEmpty())
        return fail(error, QStringLiteral("-o needs a file name"));
    if (parser.isSet(audioFromOption) && result.audioFrom.isEmpty())
        return fail(error, QStringLiteral("--audio-from needs a movie"));
    if (parser.isSet(partOption) && !parsePartSpec(partText, &result.part))
        return fail(error, QStringLiteral("--part takes K/N, part K of N with 1 <= K <= N, such as 3/8 (not '%1')").arg(partText));
    result.quiet = parser.isSet(quietOption);
    result.keep = parser.isSet(keepOption);
    result.viaFrames = parser.isSet(viaFramesOption);
    result.overwrite = parser.isSet(overwriteOption);
    encode.audio = !parser.isSet(noAudioOption);
    encode.likeWindow = parser.isSet(likeWindowOption);
    if (parser.isSet(codecOption)) {
        if (codecText == QLatin1String("h264"))
            encode.codec = EncodeSettings::Codec::H264;
        else if (codecText == QLatin1String("h265"))
            encode.codec = EncodeSettings::Codec::H265;
        else if (codecText == QLatin1String("ffv1"))
            encode.codec = EncodeSettings::Codec::Ffv1;
        else
            return fail(error, QStringLiteral("unknown codec '%1'; the codecs are h264, h265 and ffv1").arg(codecText));
    }
    if (parser.isSet(crfOption)) {
        bool number = false;
        encode.crf = crfText.toInt(&number);
        if (!number || encode.crf < 0 || encode.crf > 51)
            return fail(error, QStringLiteral("--crf takes a whole number from 0 to 51"));
    }
    if (parser.isSet(presetOption) && !EncodeSettings::presets().contains(encode.preset))
        return fail(error, QStringLiteral("unknown preset '%1'; the presets are %2")
                               .arg(encode.preset, EncodeSettings::presets().join(QStringLiteral(", "))));
    static const QRegularExpression bitrate(QStringLiteral("^[0-9]+(\\.[0-9]+)?[kKmM]?$"));
    if (parser.isSet(bitrateOption) && !bitrate.match(encode.bitrate).hasMatch())
        return fail(error, QStringLiteral("--bitrate takes bits per second, such as 8M or 2500k"));
    static const QRegularExpression rate(QStringLiteral("^[0-9]+(\\.[0-9]+|/[0-9]+)?$"));
    const auto positive = [](const QString &text) {
        const QStringList parts = text.split(QLatin1Char('/'));
        return parts.first().toDouble() > 0 && (parts.size() == 1 || parts.last().toDouble() > 0);
    };
    if (parser.isSet(fpsOption) && (!rate.match(encode.fps).hasMatch() || !positive(encode.fps)))
        return fail(error, QStringLiteral("--fps takes frames per second, such as 25, 29.97 or 30000/1001"));

    if (parser.isSet(modeOption)) {
        if (result.command == Command::Decode || result.command == Command::Encode || result.command == Command::Join)
            return fail(error, QStringLiteral("--mode does not apply to %1").arg(command));
        if (modeText == QLatin1String("fuzzy"))
            result.mode = DenoiseMode::Fuzzy;
        else if (modeText == QLatin1String("standard"))
            result.mode = DenoiseMode::Standard;
        else
            return fail(error, QStringLiteral("unknown mode '%1'; the modes are fuzzy and standard").arg(modeText));
    }
    if (parser.isSet(outputOption) && result.command != Command::Encode && result.command != Command::All
        && result.command != Command::Join)
        return fail(error, QStringLiteral("-o applies to encode, all and join, not to %1").arg(command));
    if (parser.isSet(workDirOption) && result.command == Command::Join)
        return fail(error, QStringLiteral("--workdir does not apply to join, which keeps no files of its own"));
    if (result.keep && result.command != Command::All)
        return fail(error, QStringLiteral("--keep applies to all, not to %1").arg(command));
    if (result.viaFrames && result.command != Command::All)
        return fail(error, QStringLiteral("--via-frames applies to all, not to %1").arg(command));
    if (result.keep && !result.viaFrames)
        return fail(error, QStringLiteral("--keep applies to all --via-frames (the streamed route keeps no frames)"));
    if (result.overwrite && result.command != Command::All && result.command != Command::Join)
        return fail(error, QStringLiteral("-y applies to all and join, not to %1").arg(command));
    if (parser.isSet(audioFromOption) && result.command != Command::Join)
        return fail(error, QStringLiteral("--audio-from applies to join, not to %1").arg(command));
    if (parser.isSet(partOption) && result.command != Command::All)
        return fail(error, QStringLiteral("--part applies to all, not to %1").arg(command));
    if (parser.isSet(partOption) && result.viaFrames)
        return fail(error, QStringLiteral("--part does not apply with --via-frames"));
    const QList<const QCommandLineOption *> encodeOptions{&noAudioOption, &likeWindowOption, &codecOption,
                                                         &crfOption, &presetOption, &bitrateOption, &fpsOption};
    for (const QCommandLineOption *option : encodeOptions) {
        if (!parser.isSet(*option))
            continue;
        const QString name = QStringLiteral("--") + option->names().first();
        if (result.command == Command::Join && option == &noAudioOption)
            continue;
        if (result.command != Command::All)
            return fail(error, QStringLiteral("%1 applies to all, not to %2").arg(name, command));
        if (result.viaFrames)
            return fail(error, QStringLiteral("%1 does not apply with --via-frames, which encodes as the window does")
                                   .arg(name));
    }

    switch (result.command) {
    case Command::Decode:
        if (positional.size() != 1)
            return fail(error, positional.isEmpty() ? QStringLiteral("decode needs a movie")
                                                    : QStringLiteral("decode takes one movie"));
        break;
    case Command::All:
        if (positional.isEmpty())
            return fail(error, QStringLiteral("all needs at least one movie"));
        if (result.part.isPart() && positional.size() > 1)
            return fail(error, QStringLiteral("--part takes one movie"));
        break;
    case Command::Join:
        if (positional.isEmpty())
            return fail(error, QStringLiteral("join needs the parts to join"));
        if (result.output.isEmpty())
            return fail(error, QStringLiteral("join needs -o, the movie to write"));
        break;
    default:
        if (!positional.isEmpty())
            return fail(error, QStringLiteral("%1 takes no movie, but '%2' was given").arg(command, positional.first()));
        break;
    }
    for (const QString &movie : positional)
        if (movie.isEmpty())
            return fail(error, QStringLiteral("an empty movie name was given"));
    result.movies = positional;
    *options = result;
    return true;
}

QString helpText()
{
    return QStringLiteral(
        "Usage: nocta-cli COMMAND [OPTIONS]\n"
        "\n"
        "Denoises movies shot at night, without a window. \"all\" streams a movie\n"
        "through ffmpeg and the denoiser into a new movie with no frame on disk,\n"
        "keeping its frame rate, sound and subtitles. The other commands are the\n"
        "stages of the NOCTA window, with its files: frames in screens/, denoised\n"
        "frames in processed/, the movie in out_movies/out.mp4, all in the work\n"
        "directory.\n"
        "\n"
        "Commands:\n"
        "  all MOVIE             denoise MOVIE into out_movies/out.mp4 in the work\n"
        "                        directory (or -o), streamed\n"
        "  all MOVIE MOVIE...    a batch: each movie into <name>.denoised.mp4;\n"
        "                        every movie is checked before the first starts, and\n"
        "                        one whose result exists is skipped (unless -y)\n"
        "  all MOVIE --part K/N  denoise part K of N of MOVIE, for join; run the N\n"
        "                        parts anywhere, in any order\n"
        "  join PART... -o FILE\n"
        "                        join the parts of a movie into FILE, as a whole run\n"
        "                        would have made it, without encoding again, with the\n"
        "                        movie's sound and subtitles; refuses parts that do\n"
        "                        not make one movie together\n"
        "  decode MOVIE          split MOVIE into screens/%03d.bmp\n"
        "  process               denoise screens/ into processed/\n"
        "  encode                encode processed/ into out_movies/out.mp4\n"
        "  demo                  make a short noisy night clip with ffmpeg, denoise it\n"
        "                        and print where both movies are\n"
        "\n"
        "Options:\n"
        "  --mode fuzzy|standard\n"
        "                        denoising chain for process, all and demo\n"
        "                        (default: fuzzy)\n"
        "  -o, --output FILE     encode, all, join: write the movie to FILE instead of\n"
        "                        out_movies/out.mp4; an existing directory or a name\n"
        "                        ending in / means <name>.denoised.mp4 in it (out.mp4\n"
        "                        for encode). A batch always takes a directory\n"
        "                        (default: the work directory). Taken from the\n"
        "                        current directory, not from --workdir. The movie\n"
        "                        takes its name only once complete.\n"
        "  -y, --overwrite       all, join: replace an existing output (without it,\n"
        "                        they refuse to start, and a batch skips that movie)\n"
        "  --codec h264|h265|ffv1\n"
        "                        all: the video codec (default: h264); ffv1 is\n"
        "                        lossless and goes in Matroska (.mkv)\n"
        "  --crf N               all: quality, 0 (best) to 51 (default: 18 for h264,\n"
        "                        20 for h265)\n"
        "  --preset PRESET       all: x264/x265 speed against size, ultrafast to\n"
        "                        veryslow (default: medium)\n"
        "  --bitrate RATE        all: a bit rate such as 8M instead of a quality\n"
        "  --fps N               all: time the frames at N per second (25, 29.97,\n"
        "                        30000/1001) instead of the movie's rate; every frame\n"
        "                        is kept, so the movie plays faster or slower, and\n"
        "                        sound and subtitles are left out\n"
        "  --no-audio            all, join: leave the sound out\n"
        "  --part K/N            all: denoise only part K of N (1 <= K <= N): the K-th\n"
        "                        of N nearly equal ranges of the denoised frames; the\n"
        "                        part carries a label for join, and no sound\n"
        "  --audio-from FILE     join: take sound and subtitles from FILE, which must\n"
        "                        be the movie the parts were made from (default: that\n"
        "                        movie where the parts say it was)\n"
        "  --like-window         all: encode as the window does (H.264 at 7500 kb/s,\n"
        "                        29 frames per second, no sound)\n"
        "  --via-frames          all: go through screens/ and processed/ in the work\n"
        "                        directory and encode as the window does, instead of\n"
        "                        streaming\n"
        "  --workdir DIR         work directory (default: the current directory);\n"
        "                        created by decode, all and demo when missing\n"
        "  --keep                all --via-frames: keep each batch movie's work\n"
        "                        directory (DIR/nocta-<name>-XXXXXX)\n"
        "  -q, --quiet           no progress display (console lines still appear)\n"
        "  -h, --help            this text\n"
        "  --version             the version\n"
        "\n"
        "Console lines (time of day and message) and progress go to standard error;\n"
        "the timing line of each processing run (\"time<N>ms\") goes to standard output.\n"
        "Progress is a bar when standard error is a terminal, plain lines otherwise.\n"
        "\n"
        "Exit status: 0 all done, 1 a stage or a movie failed, 2 a wrong command line,\n"
        "an output that may not be written or parts that do not join, 130 interrupted\n"
        "(Ctrl-C), 143 terminated (SIGTERM), 129 hung up (SIGHUP).\n"
        "\n"
        "Examples:\n"
        "  nocta-cli demo\n"
        "  nocta-cli all night.mp4 -o clean.mp4\n"
        "  nocta-cli all night.mkv -o clean.mkv --codec ffv1 --mode standard\n"
        "  nocta-cli all night.mp4 -o clean.mp4 --crf 22 --preset slow\n"
        "  nocta-cli all clips/*.mp4 -o denoised/   # denoised/<name>.denoised.mp4\n"
        "  nocta-cli all night.mp4 --via-frames --workdir /scratch/n1 --keep\n"
        "  nocta-cli all night.mp4 --part 2/8 -o parts/2.mp4   # ... and the 7 others\n"
        "  nocta-cli join parts/*.mp4 -o clean.mp4\n"
        "  nocta-cli decode night.mp4 && nocta-cli process && nocta-cli encode\n");
}

} // namespace nocta::cli
