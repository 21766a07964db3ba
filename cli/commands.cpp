#include "cli/commands.h"

#include "cli/terminalsink.h"
#include "pipeline/ffmpeg.h"
#include "pipeline/moviestages.h"
#include "pipeline/processingrun.h"
#include "pipeline/workfolder.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QTemporaryDir>
#include <QTemporaryFile>

#include <iostream>

namespace nocta::cli {

namespace {

// The frames of the synthetic clip of "demo": two seconds of a moving test
// pattern, darkened and covered with changing noise.
constexpr int DemoFrames = 50;
const char *const DemoSource = "testsrc2=size=320x240:rate=25";
const char *const DemoLook = "eq=brightness=-0.33:contrast=0.55,noise=alls=28:allf=t+u,format=yuv420p";

QString absolutePath(const QString &path)
{
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

QString shown(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

bool endsWithSeparator(const QString &path)
{
    return path.endsWith(QLatin1Char('/')) || path.endsWith(QDir::separator());
}

bool haveFfmpeg()
{
    return !findFfmpeg().isEmpty();
}

// True when a file can be created in the existing directory dir.
bool canWriteIn(const QString &dir)
{
    QTemporaryFile probe(QDir(dir).filePath(QStringLiteral(".nocta-probe-XXXXXX")));
    return probe.open();
}

// Checks, without creating anything, that a directory exists or can be
// made and that files can be written in it: its nearest existing ancestor
// must be a writable directory.
bool checkWritableDirectory(const QString &dir, QString *error)
{
    QString path = dir;
    while (!QFileInfo::exists(path)) {
        const QString parent = QFileInfo(path).path();
        if (parent == path)
            break;
        path = parent;
    }
    const QString what = QFileInfo(path).isDir() ? QStringLiteral("is not writable")
                                                  : QStringLiteral("is not a directory");
    if (QFileInfo(path).isDir() && canWriteIn(path))
        return true;
    *error = path == dir ? QStringLiteral("cannot write to %1: it %2").arg(shown(dir), what)
                         : QStringLiteral("cannot write to %1: %2 %3").arg(shown(dir), shown(path), what);
    return false;
}

// Makes sure the work directory is there (creating it when allowed) and
// that files can be written in it.
bool prepareWorkDir(const QString &dir, bool create, QString *error)
{
    const QFileInfo info(dir);
    if (info.exists() && !info.isDir()) {
        *error = QStringLiteral("the work directory %1 is not a directory").arg(shown(dir));
        return false;
    }
    if (!info.exists()) {
        if (!create) {
            *error = QStringLiteral("the work directory %1 does not exist").arg(shown(dir));
            return false;
        }
        if (!checkWritableDirectory(dir, error))
            return false;
        if (!QDir().mkpath(dir)) {
            *error = QStringLiteral("cannot create the work directory %1").arg(shown(dir));
            return false;
        }
    }
    if (!canWriteIn(dir)) {
        *error = QStringLiteral("cannot write to the work directory %1").arg(shown(dir));
        return false;
    }
    return true;
}

// What a single movie's decode needs before anything runs: the movie, and
// ffmpeg on PATH.
bool checkDecodeInputs(const QString &movie, QString *error)
{
    if (!checkMovie(movie, error))
        return false;
    if (!haveFfmpeg()) {
        *error = ffmpegMissingReason();
        return false;
    }
    return true;
}

// The name a movie has in a batch: its file name without the last suffix.
QString movieName(const QString &movie)
{
    const QString name = QFileInfo(movie).completeBaseName();
    return name.isEmpty() ? QFileInfo(movie).fileName() : name;
}

class Runner
{
public:
    Runner(const Options &options, TerminalSink &sink, const std::atomic_bool &stop)
        : m_options(options), m_sink(sink), m_stop(stop),
          m_workDir(absolutePath(options.workDir.isEmpty() ? QDir::currentPath() : options.workDir))
    {
    }

    int run()
    {
        switch (m_options.command) {
        case Command::Decode:
            return decode();
        case Command::Process:
            return process();
        case Command::Encode:
            return encode();
        case Command::All:
            return m_options.movies.size() == 1 ? allOne() : allBatch();
        case Command::Demo:
            return demo();
        case Command::Help:
        case Command::Version:
            break;
        }
        return ExitOk;
    }

private:
    int error(const QString &text, int status = ExitFailed)
    {
        m_sink.note(text);
        return status;
    }

    int interrupted()
    {
        m_sink.note(QStringLiteral("interrupted"));
        return ExitInterrupted;
    }

    // The stages, each in the given work directory.
    bool decodeStage(const QString &movie, const QString &workDir)
    {
        return decodeMovie(absolutePath(movie), workDir, m_sink, FfmpegLog::Errors);
    }

    bool processStage(const QString &workDir)
    {
        return processMovie(workDir, m_options.mode, m_sink).ok();
    }

    bool encodeStage(const QString &workDir, const QString &output)
    {
        return encodeMovie(workDir, m_sink, output, FfmpegLog::Errors);
    }

    // decode, process and encode, stopping at the first that fails.
    bool allStages(const QString &movie, const QString &workDir, const QString &output)
    {
        return decodeStage(movie, workDir) && !m_stop && processStage(workDir) && !m_stop
            && encodeStage(workDir, output);
    }

    int finish(bool ok)
    {
        if (m_stop)
            return interrupted();
        return ok ? ExitOk : ExitFailed;
    }

    // -o of a single movie: a file, or a directory that receives
    // defaultName. Empty when no -o was given.
    QString singleOutput(const QString &defaultName) const
    {
        if (m_options.output.isEmpty())
            return QString();
        const QString path = absolutePath(m_options.output);
        if (endsWithSeparator(m_options.output) || QFileInfo(path).isDir())
            return QDir(path).filePath(defaultName);
        return path;
    }

    bool checkOutput(const QString &output, QString *error) const
    {
        if (output.isEmpty())
            return true;
        if (!checkOutputMovie(output, error))
            return false;
        return checkWritableDirectory(QFileInfo(output).absolutePath(), error);
    }

    int decode()
    {
        const QString movie = m_options.movies.first();
        QString reason;
        if (!checkDecodeInputs(movie, &reason) || !prepareWorkDir(m_workDir, true, &reason))
            return error(reason);
        return finish(decodeStage(movie, m_workDir));
    }

    int process()
    {
        QString reason;
        if (!prepareWorkDir(m_workDir, false, &reason))
            return error(reason);
        return finish(processStage(m_workDir));
    }

    int encode()
    {
        QString reason;
        if (!prepareWorkDir(m_workDir, false, &reason))
            return error(reason);
        if (!haveFfmpeg())
            return error(ffmpegMissingReason());
        const QString output = singleOutput(QStringLiteral("out.mp4"));
        if (!checkOutput(output, &reason))
            return error(reason);
        return finish(encodeStage(m_workDir, output));
    }

    int allOne()
    {
        const QString movie = m_options.movies.first();
        QString reason;
        if (!checkDecodeInputs(movie, &reason))
            return error(reason);
        const QString output = singleOutput(movieName(movie) + QStringLiteral(".denoised.mp4"));
        if (!checkOutput(output, &reason))
            return error(reason);
        if (!prepareWorkDir(m_workDir, true, &reason))
            return error(reason);
        return finish(allStages(movie, m_workDir, output));
    }

    // Several movies: each in a work directory of its own under the work
    // directory, written to <outdir>/<name>.denoised.mp4. A movie that fails
    // is reported and the others still run.
    int allBatch()
    {
        QString reason;
        const QString outDir = absolutePath(m_options.output.isEmpty() ? m_workDir : m_options.output);
        if (QFileInfo(outDir).exists() && !QFileInfo(outDir).isDir())
            return error(QStringLiteral("-o must name a directory for several movies; %1 is a file").arg(shown(outDir)),
                         ExitUsage);
        QHash<QString, QString> targets;
        QStringList outputs;
        for (const QString &movie : m_options.movies) {
            const QString output = QDir(outDir).filePath(movieName(movie) + QStringLiteral(".denoised.mp4"));
            if (targets.contains(output))
                return error(QStringLiteral("%1 and %2 would both be written to %3")
                                 .arg(shown(targets.value(output)), shown(movie), shown(output)),
                             ExitUsage);
            targets.insert(output, movie);
            outputs << output;
        }
        if (!haveFfmpeg())
            return error(ffmpegMissingReason());
        if (!checkWritableDirectory(outDir, &reason))
            return error(reason);
        if (!prepareWorkDir(m_workDir, true, &reason))
            return error(reason);

        const int count = int(m_options.movies.size());
        QStringList failed;
        int done = 0;
        for (int i = 0; i < count && !m_stop; ++i) {
            const QString &movie = m_options.movies.at(i);
            m_sink.log(QStringLiteral(" - Movie %1 of %2: %3").arg(i + 1).arg(count).arg(shown(movie)));
            QString why;
            if (!checkMovie(movie, &why)) {
                m_sink.logFailure(QStringLiteral(" - Skipped: %1.").arg(why));
                failed << movie;
                continue;
            }
            QTemporaryDir workDir(QDir(m_workDir).filePath(QStringLiteral("nocta-%1-XXXXXX").arg(movieName(movie))));
            if (!workDir.isValid()) {
                m_sink.logFailure(QStringLiteral(" - Skipped: cannot create a work directory in %1 (%2).")
                                      .arg(shown(m_workDir), workDir.errorString()));
                failed << movie;
                continue;
            }
            workDir.setAutoRemove(!m_options.keep);
            if (allStages(movie, workDir.path(), outputs.at(i))) {
                ++done;
                m_sink.log(QStringLiteral(" - Saved %1").arg(shown(outputs.at(i))));
            } else if (!m_stop) {
                failed << movie;
            }
            if (m_options.keep)
                m_sink.log(QStringLiteral(" - Work directory kept: %1").arg(shown(workDir.path())));
        }
        if (m_stop)
            return interrupted();
        if (failed.isEmpty()) {
            m_sink.note(QStringLiteral("all %1 movies denoised into %2").arg(count).arg(shown(outDir)));
            return ExitOk;
        }
        QStringList names;
        for (const QString &movie : failed)
            names << shown(movie);
        m_sink.note(QStringLiteral("%1 of %2 movies failed: %3").arg(failed.size()).arg(count).arg(names.join(QStringLiteral(", "))));
        return ExitFailed;
    }

    // Makes the demo clip with ffmpeg's lavfi sources. Returns an empty
    // string on success, else the reason.
    QString makeDemoClip(const QString &path)
    {
        const QString reason = runFfmpeg(QFileInfo(path).absolutePath(),
                                         {QStringLiteral("-nostdin"), QStringLiteral("-loglevel"), QStringLiteral("error"),
                                          QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"),
                                          QLatin1String(DemoSource), QStringLiteral("-vf"), QLatin1String(DemoLook),
                                          QStringLiteral("-frames:v"), QString::number(DemoFrames), path});
        if (reason.isEmpty() && QFileInfo(path).size() == 0)
            return QStringLiteral("ffmpeg wrote no movie");
        return reason;
    }

    // A short noisy night clip, denoised in a fresh directory: under
    // --workdir when given, else under the system's temporary directory.
    int demo()
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
        reason = makeDemoClip(noisy);
        if (!reason.isEmpty())
            return error(QStringLiteral("could not make the demo clip: %1").arg(reason));
        m_sink.log(QStringLiteral(" - Night clip made."));
        if (!allStages(noisy, dir.path(), QString()))
            return finish(false);

        dir.setAutoRemove(false);
        std::cout << "Noisy movie:    " << shown(noisy).toLocal8Bit().constData() << '\n'
                  << "Denoised movie: " << shown(denoised).toLocal8Bit().constData() << '\n'
                  << std::flush;
        return ExitOk;
    }

    const Options &m_options;
    TerminalSink &m_sink;
    const std::atomic_bool &m_stop;
    const QString m_workDir;
};

} // namespace

int runCommand(const Options &options, TerminalSink &sink, const std::atomic_bool &stop)
{
    return Runner(options, sink, stop).run();
}

} // namespace nocta::cli
