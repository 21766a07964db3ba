#include "cli/runner.h"

#include "cli/previewpicture.h"
#include "cli/terminalsink.h"
#include "pipeline/core/error.h"
#include "pipeline/core/safefile.h"
#include "pipeline/frames/workfolder.h"
#include "pipeline/movie/ffmpegrun.h"
#include "pipeline/movie/keptstreams.h"
#include "pipeline/movie/moviejoin.h"
#include "pipeline/movie/moviepreview.h"
#include "pipeline/movie/moviestages.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <QTemporaryDir>

#include <iostream>
#include <new>

namespace nocta::cli {

namespace {

// The frames of the synthetic clip of "demo": two seconds of a moving test
// pattern, darkened and covered with changing noise.
constexpr int DemoFrames = 50;
const char *const DemoSource = "testsrc2=size=320x240:rate=25";
const char *const DemoLook = "eq=brightness=-0.33:contrast=0.55,noise=alls=28:allf=t+u,format=yuv420p";

// Makes the demo clip with ffmpeg's lavfi sources; a fault says why not.
Fault makeDemoClip(const QString &path)
{
    const Fault fault = runFfmpeg(QFileInfo(path).absolutePath(),
                                  {QStringLiteral("-nostdin"), QStringLiteral("-loglevel"), QStringLiteral("error"),
                                   QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"),
                                   QLatin1String(DemoSource), QStringLiteral("-vf"), QLatin1String(DemoLook),
                                   QStringLiteral("-frames:v"), QString::number(DemoFrames), path});
    if (!fault && QFileInfo(path).size() == 0)
        return Fault::because(QStringLiteral("ffmpeg wrote no movie"));
    return fault;
}

} // namespace

// The parts in order into one movie. Everything is checked before
// ffmpeg starts: the parts make one movie, the sound comes from that
// movie, and the output is none of them and may be written.
int Runner::join()
{
    if (!haveFfmpeg())
        return error(ffmpegMissingReason());
    QString reason;
    if (const int status = checkOutputFolder(false, &reason))
        return error(reason, status);
    QStringList parts;
    for (const QString &part : m_options.movies) {
        if (const Error refusal = checkMovie(part))
            return error(refusal.text());
        parts << absolutePath(part);
    }
    if (const Error refusal = m_options.audioFrom.isEmpty() ? Error() : checkMovie(m_options.audioFrom))
        return error(refusal.text());
    if (findFfprobe().isEmpty())
        return error(QStringLiteral("join reads the parts' labels with ffprobe: ffprobe not found on PATH "
                                    "(it comes with FFmpeg)"));
    JoinPlan plan;
    if (const Error refusal = planJoin(parts, m_options.audioFrom.isEmpty() ? QString() : absolutePath(m_options.audioFrom),
                                       m_options.encode.audio, &plan))
        return error(wording(refusal), ExitUsage);

    const PartLabel &first = plan.parts.first();
    const QString output = singleOutput(movieName(first.sourcePath) + QStringLiteral(".denoised.")
                                        + QFileInfo(first.path).suffix());
    // Nothing join reads or is told of: a part, the movie where the parts
    // say it was, the one the sound comes from, the one --audio-from
    // names (read or not).
    const QString audioFrom = m_options.audioFrom.isEmpty() ? QString() : absolutePath(m_options.audioFrom);
    for (const QString &input : parts + QStringList{plan.streamSource, first.sourcePath, audioFrom}) {
        if (!input.isEmpty() && (absolutePath(input) == output || sameFile(input, output)))
            return error(QStringLiteral("the output %1 is %2 itself").arg(shown(output), shown(input)), ExitUsage);
    }
    if (QFileInfo::exists(output) && !m_options.overwrite)
        return error(QStringLiteral("%1 already exists; add -y to replace it").arg(shown(output)), ExitUsage);
    if (QFileInfo(output).suffix().isEmpty() || !containerTakes(first.path, output, 0, QStringLiteral("copy")))
        return error(QStringLiteral("the container of %1 cannot hold the parts' video; name it like them (.%2)")
                         .arg(shown(output), QFileInfo(first.path).suffix()),
                     ExitUsage);
    if (!checkOutput(output, &reason))
        return error(reason, ExitUsage);
    if (!makeOutputFolder(&reason))
        return error(reason);
    return finish(joinParts(plan, output, m_sink, m_options.overwrite));
}

// A short noisy night clip, denoised in a fresh directory: under
// --workdir when given, else under the system's temporary directory.
int Runner::demo()
{
    if (!haveFfmpeg())
        return error(ffmpegMissingReason());
    QString reason;
    const QString parent = m_options.workDir.isEmpty() ? QDir::tempPath() : m_workDir;
    if (!prepareWorkDir(parent, true, &reason))
        return error(reason);
    QTemporaryDir dir(QDir(parent).filePath(QStringLiteral("nocta-demo-XXXXXX")));
    if (!dir.isValid())
        return error(QStringLiteral("cannot create a directory in %1 (%2)").arg(shown(parent), dir.errorString()));

    const QString noisy = dir.filePath(QStringLiteral("night.mp4"));
    const QString denoised = WorkFolder(dir.path()).defaultMovie();
    if (const Fault fault = makeDemoClip(noisy))
        return error(QStringLiteral("could not make the demo clip: %1").arg(fault.reason));
    m_sink.log(QStringLiteral(" - Night clip made."));
    if (!allStages(noisy, dir.path(), QString()))
        return finish(false);

    dir.setAutoRemove(false);
    std::cout << "Noisy movie:    " << shown(noisy).toLocal8Bit().constData() << '\n'
              << "Denoised movie: " << shown(denoised).toLocal8Bit().constData() << '\n'
              << std::flush;
    return ExitOk;
}

// One picture to choose a mode by: see previewPicture().
int Runner::preview()
{
    const QString movie = m_options.movies.first();
    QString reason;
    if (!checkDecodeInputs(movie, &reason))
        return error(reason);
    const QString output = m_options.output.isEmpty()
                               ? absolutePath(movieName(movie) + QStringLiteral(".preview.png"))
                               : singleOutput(movieName(movie) + QStringLiteral(".preview.png"));
    if (sameFile(movie, output))
        return error(QStringLiteral("the output %1 is the movie %2 itself").arg(shown(output), shown(movie)), ExitUsage);
    if (!checkWritableDirectory(QFileInfo(output).absolutePath(), &reason))
        return error(reason);
    if (const int status = overwriteStatus(output, false, &reason))
        return error(reason, status);
    MoviePreview frames;
    try {
        if (const Error failure = previewMovie(absolutePath(movie), m_options.at, m_options.quality, &frames))
            return error(wording(failure));
    } catch (const std::bad_alloc &) {
        return error(QStringLiteral("out of memory"));
    }
    if (m_stop)
        return interrupted();
    const QImage picture = previewPicture(frames);
    QSaveFile file(output);
    if (!file.open(QIODevice::WriteOnly) || !picture.save(&file, "PNG") || !file.commit())
        return error(QStringLiteral("cannot write %1: %2").arg(shown(output), file.errorString()));
    m_sink.log(QStringLiteral(" - Preview of frame %1 (%2 s) saved to %3, %4x%5")
                   .arg(frames.frameIndex + 1).arg(frames.seconds, 0, 'f', 2).arg(shown(output))
                   .arg(picture.width()).arg(picture.height()));
    return ExitOk;
}

} // namespace nocta::cli
