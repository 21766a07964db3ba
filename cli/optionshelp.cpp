#include "cli/optiontable.h"

namespace nocta::cli {

namespace {

constexpr int DescriptionColumn = 24;
constexpr int LineWidth = 77;

// What --help says before the options.
const char *const introduction =
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
    "  all MOVIE             denoise MOVIE into <name>.denoised.mp4 in the work\n"
    "                        directory (or -o), streamed, and say where it went\n"
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
    "\n";

// What it says after them.
const char *const closing =
    "Console lines (time of day and message) and progress go to standard error;\n"
    "the timing line of each processing run goes to standard output, as \"time<N>ms\"\n"
    "for scripts, or in words when standard output is a terminal.\n"
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
    "  nocta-cli all night.mp4 --start 12:30 --duration 10 -o try.mp4\n"
    "  nocta-cli all clips/*.mp4 -o denoised/   # denoised/<name>.denoised.mp4\n"
    "  nocta-cli all night.mp4 --via-frames --workdir /scratch/n1 --keep\n"
    "  nocta-cli all night.mp4 --part 2/8 -o parts/2.mp4   # ... and the 7 others\n"
    "  nocta-cli join parts/*.mp4 -o clean.mp4\n"
    "  nocta-cli decode night.mp4 && nocta-cli process && nocta-cli encode\n";

// The words of text in lines of at most width characters.
QStringList wrapped(const QString &text, int width)
{
    QStringList lines;
    QString line;
    for (const QString &word : text.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        if (!line.isEmpty() && line.size() + 1 + word.size() > width) {
            lines << line;
            line.clear();
        }
        line += (line.isEmpty() ? QString() : QStringLiteral(" ")) + word;
    }
    if (!line.isEmpty())
        lines << line;
    return lines;
}

// "  -o, --output FILE     encode, all, join: write the movie to FILE ...":
// the names and the value, then the description from the description
// column on, after the commands the option applies to unless it applies to
// every one. A tag too long for that column has a line of its own.
QString optionLines(const OptionRow &row)
{
    QStringList names;
    for (const QString &name : QString::fromLatin1(row.names).split(QLatin1Char(',')))
        names << (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name;
    QString tag = QStringLiteral("  ") + names.join(QStringLiteral(", "));
    if (row.valueName)
        tag += QLatin1Char(' ') + QString::fromLatin1(row.valueName);

    QString description = QString::fromLatin1(row.help);
    if (row.commands != everyCommand) {
        const QString route = row.route == Route::ViaFrames ? QStringLiteral(" --via-frames") : QString();
        description = commandNames(row.commands).join(QStringLiteral(", ")) + route + QStringLiteral(": ") + description;
    }
    const QString indent(DescriptionColumn, QLatin1Char(' '));
    QString lines = tag.size() + 2 <= DescriptionColumn ? tag.leftJustified(DescriptionColumn) : tag + '\n' + indent;
    lines += wrapped(description, LineWidth - DescriptionColumn).join(QLatin1Char('\n') + indent);
    return lines + QLatin1Char('\n');
}

} // namespace

QString helpText()
{
    QString text = QString::fromUtf8(introduction) + QStringLiteral("Options:\n");
    for (const OptionRow &row : optionTable())
        text += optionLines(row);
    return text + QLatin1Char('\n') + QString::fromUtf8(closing);
}

} // namespace nocta::cli
