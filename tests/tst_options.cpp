// The command line of nocta-cli, read in-process: what each argument list
// sets, the reason each wrong one is refused with (nocta-cli then exits
// with status 2), and the layout of --help that its man page and its bash
// completion read. No movie and no ffmpeg are needed.

#include "cli/options.h"
#include "cli/optiontable.h"

#include <QRegularExpression>
#include <QtTest>

using namespace nocta;
using namespace nocta::cli;

namespace {

QStringList words(const QString &text)
{
    return text.split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

// The command, the movies, then what differs from the defaults.
QString describe(const Options &options)
{
    static const char *const commands[] = {"help", "version", "decode", "process", "encode", "all", "join", "demo", "preview"};
    static const char *const codecs[] = {"h264", "h265", "ffv1"};
    QStringList out{QString::fromLatin1(commands[int(options.command)])};
    out += options.movies;
    const auto add = [&out](bool given, const QString &word) {
        if (given)
            out << word;
    };
    const EncodeSettings &encode = options.encode;
    add(options.mode != DenoiseMode::Fuzzy, "mode=" + modeName(options.mode));
    add(options.quality.radius != QualityOptions().radius, QStringLiteral("radius=%1").arg(options.quality.radius));
    add(options.quality.strength != QualityOptions().strength, QStringLiteral("strength=%1").arg(options.quality.strength));
    add(options.at >= 0, QStringLiteral("at=%1").arg(options.at));
    add(!options.workDir.isEmpty(), "workdir=" + options.workDir);
    add(!options.output.isEmpty(), "output=" + options.output);
    add(options.overwrite, "overwrite");
    add(options.quiet, "quiet");
    add(options.keep, "keep");
    add(options.viaFrames, "via-frames");
    add(encode.codec != EncodeSettings::Codec::H264, QStringLiteral("codec=") + codecs[int(encode.codec)]);
    add(encode.crf >= 0, QStringLiteral("crf=%1").arg(encode.crf));
    add(!encode.preset.isEmpty(), "preset=" + encode.preset);
    add(!encode.bitrate.isEmpty(), "bitrate=" + encode.bitrate);
    add(!encode.fps.isEmpty(), "fps=" + encode.fps);
    add(!encode.audio, "no-audio");
    add(encode.likeWindow, "like-window");
    add(options.part.isPart(), QStringLiteral("part=%1/%2").arg(options.part.index).arg(options.part.count));
    add(!options.audioFrom.isEmpty(), "audio-from=" + options.audioFrom);
    return out.join(QLatin1Char(' '));
}

} // namespace

Q_DECLARE_METATYPE(nocta::cli::ValueCheck)

class TestOptions : public QObject
{
    Q_OBJECT

private slots:
    void accepts_data();
    void accepts();
    void refuses_data();
    void refuses();
    void valueKinds_data();
    void valueKinds();
    void helpLines_data();
    void helpLines();
    void helpLayout();
};

void TestOptions::accepts_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("parsed");
    const auto row = [](const char *arguments, const char *parsed) {
        QTest::newRow(arguments) << words(arguments) << QString::fromLatin1(parsed);
    };
    row("all m.mp4", "all m.mp4");
    row("all a.mp4 b.mp4 -o out/ -y -q", "all a.mp4 b.mp4 output=out/ overwrite quiet");
    row("-qy all m.mp4", "all m.mp4 overwrite quiet");
    row("process --mode=standard --workdir w", "process mode=standard workdir=w");
    row("demo --mode fuzzy", "demo");
    row("all m --mode quality --radius 3 --strength 1.5", "all m mode=quality radius=3 strength=1.5");
    row("process --mode quality --strength 0.1 --radius 7", "process mode=quality radius=7 strength=0.1");
    row("preview m --at 1:02.5 -o p.png -y --radius 1", "preview m radius=1 at=62.5 output=p.png overwrite");
    row("decode m.mp4 --workdir w", "decode m.mp4 workdir=w");
    row("encode --output x.mp4", "encode output=x.mp4");
    row("all m --codec ffv1 -o m.mkv", "all m output=m.mkv codec=ffv1");
    row("all m --codec h265 --crf 0 --preset veryslow", "all m codec=h265 crf=0 preset=veryslow");
    row("all m --crf 51", "all m crf=51");
    row("all m --bitrate 2500k", "all m bitrate=2500k");
    row("all m --bitrate 1.5M", "all m bitrate=1.5M");
    row("all m --bitrate 10k", "all m bitrate=10k");
    row("all m --bitrate 1000M", "all m bitrate=1000M");
    row("all m --fps 30000/1001", "all m fps=30000/1001");
    row("all m --fps 29.97 --no-audio", "all m fps=29.97 no-audio");
    row("all m --like-window", "all m like-window");
    row("all m --part 3/8", "all m part=3/8");
    row("all m --part 8/8", "all m part=8/8");
    row("all m --via-frames --keep --workdir /w", "all m workdir=/w keep via-frames");
    row("join p1 p2 -o j.mp4 --audio-from m.mp4 --no-audio", "join p1 p2 output=j.mp4 no-audio audio-from=m.mp4");
    row("--help", "help");
    row("-h all m --crf 99", "help");
    row("help --crf 99", "help");
    row("--version all m", "version");
}

void TestOptions::accepts()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, parsed);
    Options options;
    QString error;
    QVERIFY2(parseArguments(arguments, &options, &error), qPrintable(error));
    QCOMPARE(describe(options), parsed);
}

void TestOptions::refuses_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("error");
    const auto row = [](const char *name, const QStringList &arguments, const char *error) {
        QTest::newRow(name) << arguments << QString::fromLatin1(error);
    };
    const auto same = [&row](const char *arguments, const char *error) { row(arguments, words(arguments), error); };
    const char *const commands = "the commands are decode, process, encode, all, join, demo and preview";

    row("nothing", {}, qPrintable(QStringLiteral("no command given; %1").arg(commands)));
    same("denoise m", qPrintable(QStringLiteral("unknown command 'denoise'; %1").arg(commands)));
    same("all m --frobnicate", "unknown option '--frobnicate'");
    same("process -x", "unknown option '-x'");
    same("all m -o", "Missing value after '-o'.");
    same("all m --crf 1 --crf 2", "--crf given more than once");
    same("all m -o a --output b", "-o given more than once");
    // Values out of their kind or range.
    same("all m --mode blurry", "unknown mode 'blurry'; the modes are fuzzy, standard and quality");
    // The quality mode's settings: in range, and with that mode only.
    same("all m --mode quality --radius 8", "--radius takes a whole number from 1 to 7");
    same("all m --mode quality --radius 0", "--radius takes a whole number from 1 to 7");
    same("all m --mode quality --strength 4.5", "--strength takes a number from 0.1 to 4");
    same("all m --radius 3", "--radius is a setting of --mode quality; it does not apply to --mode fuzzy");
    same("process --mode standard --strength 2", "--strength is a setting of --mode quality; it does not apply to --mode standard");
    same("demo --mode fuzzy --radius 1", "--radius is a setting of --mode quality; it does not apply to --mode fuzzy");
    same("preview m --mode quality", "--mode does not apply to preview");
    same("decode m --strength 1", "--strength does not apply to decode");
    same("all m --at 5", "--at applies to preview, not to all");
    same("all m --codec vp9", "unknown codec 'vp9'; the codecs are h264, h265 and ffv1");
    same("all m --preset quick", "unknown preset 'quick'; the presets are ultrafast, superfast, veryfast, faster, "
                                 "fast, medium, slow, slower and veryslow");
    for (const char *crf : {"-1", "52", "x", "1.5"})
        row(qPrintable(QStringLiteral("--crf %1").arg(crf)), {"all", "m", "--crf", crf},
            "--crf takes a whole number from 0 to 51");
    // Rates no encoder keeps to, written or not.
    for (const char *rate : {"0", "0.0k", "8x", "-8M", "M", "", "1", "9.9k", "1000.1M", "99999999M"})
        row(qPrintable(QStringLiteral("--bitrate '%1'").arg(rate)), {"all", "m", "--bitrate", rate},
            "--bitrate takes bits per second from 10k to 1000M, such as 8M or 2500k");
    for (const char *fps : {"0", "30000/0", "0/1001", "-25", "25fps", "1/2/3", "29.", ""})
        row(qPrintable(QStringLiteral("--fps '%1'").arg(fps)), {"all", "m", "--fps", fps},
            "--fps takes frames per second, such as 25, 29.97 or 30000/1001");
    same("all m --part 3/2", "--part takes K/N, part K of N with 1 <= K <= N, such as 3/8 (not '3/2')");
    same("all m --part 0/2", "--part takes K/N, part K of N with 1 <= K <= N, such as 3/8 (not '0/2')");
    same("all m --part 2", "--part takes K/N, part K of N with 1 <= K <= N, such as 3/8 (not '2')");
    row("empty --workdir", {"all", "m", "--workdir", ""}, "--workdir needs a directory");
    row("empty -o", {"encode", "-o", ""}, "-o needs a file name");
    row("empty --audio-from", {"join", "p", "-o", "j", "--audio-from", ""}, "--audio-from needs a movie");
    // Options for other commands, or the other route.
    same("decode m --mode fuzzy", "--mode does not apply to decode");
    same("join p -o j --workdir w", "--workdir does not apply to join, which keeps no files of its own");
    same("encode --codec h265", "--codec applies to all, not to encode");
    same("process -o x", "-o applies to encode, all, join and preview, not to process");
    same("decode m -y", "-y applies to all, join and preview, not to decode");
    same("all m --audio-from x", "--audio-from applies to join, not to all");
    same("join p -o j --via-frames", "--via-frames applies to all, not to join");
    same("join p -o j --part 1/2", "--part applies to all, not to join");
    same("all m --keep", "--keep applies to all --via-frames, not to the streamed route");
    same("all m --via-frames --crf 20", "--crf does not apply with --via-frames, which goes through the window's stages");
    same("all m --via-frames --part 1/2", "--part does not apply with --via-frames, which goes through the window's stages");
    // The movies.
    same("decode", "decode needs a movie");
    same("decode a b", "decode takes one movie");
    same("all", "all needs at least one movie");
    same("join -o j", "join needs the parts to join");
    same("join p", "join needs -o, the movie to write");
    same("process m", "process takes no movie, but 'm' was given");
    same("preview", "preview needs a movie");
    same("all a b --part 1/2", "--part takes one movie");
    row("empty movie", {"all", "m", ""}, "an empty movie name was given");
}

void TestOptions::refuses()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, error);
    Options options;
    QString reason;
    QVERIFY2(!parseArguments(arguments, &options, &reason), qPrintable(describe(options)));
    QCOMPARE(reason, error);
}

void TestOptions::valueKinds_data()
{
    QTest::addColumn<ValueCheck>("check");
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("read");    // -1: refused
    const auto row = [](const char *name, ValueCheck check, const char *text, double read) {
        QTest::newRow(qPrintable(QStringLiteral("%1 '%2'").arg(name, text))) << check << text << read;
    };
    for (const auto &[text, read] : std::initializer_list<std::pair<const char *, double>>{
             {"0", 0}, {"0.25", 0.25}, {"1", 1}, {"1.5", -1}, {"-0.1", -1}, {"1e-1", -1}, {"inf", -1}, {"", -1}})
        row("number 0 to 1", number(0, 1), text, read);
    for (const auto &[text, read] : std::initializer_list<std::pair<const char *, double>>{
             {"0", 0}, {"90", 90}, {"1.5", 1.5}, {"1:30", 90}, {"01:02:03.5", 3723.5}, {"100:00", 6000},
             {"1:60", -1}, {"1:60:00", -1}, {"1:2:3:4", -1}, {"1:", -1}, {"-5", -1}, {"1.", -1}, {"", -1}})
        row("time", time(), text, read);
    for (const auto &[text, read] :
         std::initializer_list<std::pair<const char *, double>>{{"0", -1}, {"0:00.0", -1}, {"0:00.5", 0.5}})
        row("duration", duration(), text, read);
}

// The kinds no option of today takes, for the options to come.
void TestOptions::valueKinds()
{
    QFETCH(ValueCheck, check);
    QFETCH(QString, text);
    QFETCH(double, read);
    const OptionRow row{"strength", "X", everyCommand, check, nullptr, ""};
    Value value;
    QString error;
    QCOMPARE(checkValue(row, text, &value, &error), read >= 0);
    if (read >= 0)
        QCOMPARE(value.real, read);
    else
        QVERIFY2(error.startsWith(QLatin1String("--strength takes a")), qPrintable(error));
}

void TestOptions::helpLines_data()
{
    QTest::addColumn<QString>("lines");
    // The commands an option applies to come first; a tag too long for the
    // description column has a line of its own.
    QTest::newRow("value") << "\n  -o, --output FILE     encode, all, join, preview: write the movie to FILE\n";
    QTest::newRow("long tag") << "\n  --mode fuzzy|standard|quality\n                        process, all, demo: denoising chain";
    QTest::newRow("every command") << "\n  -q, --quiet           no progress display";
    QTest::newRow("via frames") << "\n  --keep                all --via-frames: keep each batch movie's";
    QTest::newRow("movie") << "\n  --audio-from MOVIE    join: take sound and subtitles from MOVIE,";
}

void TestOptions::helpLines()
{
    QFETCH(QString, lines);
    QVERIFY2(helpText().contains(lines), qPrintable(helpText()));
}

// What help2man and the bash completion read: each option line starts with
// its names and value, its description starts in one column, and every line
// fits a terminal of 80 columns.
void TestOptions::helpLayout()
{
    const QStringList lines = helpText().split(QLatin1Char('\n'));
    for (const QString &line : lines)
        QVERIFY2(line.size() < 80, qPrintable(line));
    const QRegularExpression optionLine(QStringLiteral("^  (-\\w, )?--?\\w[\\w-]*( \\S+)?(  +(\\S.*))?$"));
    const QString indent(24, QLatin1Char(' '));
    int options = 0;
    for (int i = int(lines.indexOf(QStringLiteral("Options:"))) + 1; i > 0 && !lines.at(i).isEmpty(); ++i) {
        const QString &line = lines.at(i);
        if (line.startsWith(indent)) {
            QVERIFY2(line.at(24) != QLatin1Char(' '), qPrintable(line));
            continue;
        }
        const QRegularExpressionMatch match = optionLine.match(line);
        QVERIFY2(match.hasMatch(), qPrintable(line));
        QVERIFY2(match.capturedStart(4) == -1 || match.capturedStart(4) == 24, qPrintable(line));
        ++options;
    }
    QVERIFY(options > 10);
}

QTEST_GUILESS_MAIN(TestOptions)
#include "tst_options.moc"
