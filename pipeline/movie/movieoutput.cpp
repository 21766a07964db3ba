#include "pipeline/movie/movieoutput.h"

#include "pipeline/core/safefile.h"
#include "pipeline/movie/ffmpeg.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSysInfo>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <signal.h>
#endif

namespace nocta {

namespace {

// This host's name as it appears in the names of partial movies: letters,
// digits, dots and dashes only.
QString hostTag()
{
    QString host = QSysInfo::machineHostName();
    for (QChar &c : host)
        if (!(c.isLetterOrNumber() && c.unicode() < 128) && c != QLatin1Char('.') && c != QLatin1Char('-'))
            c = QLatin1Char('_');
    return host.isEmpty() ? QStringLiteral("localhost") : host;
}

// What partialMovieName() makes of target: <base>.partial-<host>-<pid>-<8 hex>.<suffix>.
QRegularExpression partialPattern(const QFileInfo &target, const QString &suffix)
{
    return QRegularExpression(QStringLiteral("^%1\\.partial-(.+)-([0-9]+)-[0-9a-f]{8}\\.%2$")
                                  .arg(QRegularExpression::escape(target.completeBaseName()),
                                       QRegularExpression::escape(suffix)));
}

QString movieSuffix(const QFileInfo &target)
{
    return target.suffix().isEmpty() ? QStringLiteral("mp4") : target.suffix();
}

// True unless the process is known to be gone.
bool processRuns(qint64 pid)
{
#ifdef Q_OS_UNIX
    return pid > 0 && pid == pid_t(pid) && (::kill(pid_t(pid), 0) == 0 || errno != ESRCH);
#else
    Q_UNUSED(pid);
    return true;
#endif
}

} // namespace

Error checkOutputMovie(const QString &path, QString *target)
{
    const QFileInfo output(path);
    const QString shown = QDir::toNativeSeparators(path);
    QString why;
    if (output.isSymbolicLink() && !output.exists())
        why = QStringLiteral("it is a symbolic link to nothing");
    else if (output.isDir())
        why = QStringLiteral("it is a directory");
    else if (output.exists() && !output.isFile())
        why = QStringLiteral("it is %1").arg(fileKind(path));
    if (!why.isEmpty())
        return Error::failed(Error::Stage::Encoding, QStringLiteral("cannot write the movie to %1: %2").arg(shown, why));
    if (target)
        *target = output.isSymbolicLink() ? output.canonicalFilePath() : path;
    return Error();
}

QString partialMovieName(const QString &target)
{
    const QFileInfo info(target);
    QString candidate;
    do {
        candidate = info.dir().filePath(QStringLiteral("%1.partial-%2-%3-%4.%5")
                                            .arg(info.completeBaseName(), hostTag())
                                            .arg(QCoreApplication::applicationPid())
                                            .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'))
                                            .arg(movieSuffix(info)));
    } while (QFileInfo::exists(candidate) || QFileInfo(candidate).isSymbolicLink());
    return candidate;
}

void removeStalePartialMovies(const QString &target)
{
    const QFileInfo info(target);
    const QRegularExpression pattern = partialPattern(info, movieSuffix(info));
    const QString host = hostTag();
    const QDir dir = info.dir();
    const QStringList names = dir.entryList({info.completeBaseName() + QStringLiteral(".partial-*")},
                                            QDir::Files | QDir::Hidden | QDir::System);
    for (const QString &name : names) {
        const QRegularExpressionMatch match = pattern.match(name);
        if (match.hasMatch() && match.captured(1) == host && !processRuns(match.captured(2).toLongLong()))
            QFile::remove(dir.filePath(name));
    }
}

MovieOutput::MovieOutput(const QString &path, Error::Stage stage, const QString &shown)
    : m_path(path), m_stage(stage), m_shown(shown.isEmpty() ? path : shown)
{
}

MovieOutput::~MovieOutput()
{
    for (const QString &file : m_scratch)
        QFile::remove(file);
    if (!m_partial.isEmpty())
        QFile::remove(m_partial);
}

Error MovieOutput::failed(const QString &detail, const QString &reason) const
{
    return Error::failed(m_stage, detail, reason);
}

Error MovieOutput::open()
{
    if (const Error refusal = checkOutputMovie(m_path, &m_target))
        return failed(refusal.detail);
    const QString targetDir = QFileInfo(m_target).absolutePath();
    if (!QDir().mkpath(targetDir) || !QFileInfo(targetDir).isDir())
        return failed(QStringLiteral("could not create the directory %1/")
                          .arg(QDir::toNativeSeparators(QFileInfo(m_shown).path())));
    removeStalePartialMovies(m_target);
    m_partial = partialMovieName(m_target);
    return Error();
}

QString MovieOutput::scratch()
{
    m_scratch << partialMovieName(m_target);
    return m_scratch.last();
}

Error MovieOutput::commit(int frames, const std::function<bool()> &stop)
{
    const QFileInfo written(m_partial);
    if (!written.isFile() || written.size() == 0)
        return failed(QStringLiteral("ffmpeg wrote no movie"));
    // ffmpeg's word is not enough: the movie must open and hold every frame.
    int packets = -1;
    if (const Error unreadable = frames < 0 ? Error() : countVideoPackets(m_partial, &packets))
        return failed(QStringLiteral("the new movie cannot be read"), unreadable.reason);
    if (packets >= 0 && packets != frames)
        return failed(QStringLiteral("the new movie holds %1 of the %2 frames").arg(packets).arg(frames));
    QString error;
    if (!syncFile(m_partial, &error))
        return failed(QStringLiteral("could not write the new movie to the disk"), error);
    if (stop && stop())
        return Error::stopped(m_stage);
    if (!replaceFile(m_partial, m_target, &error))
        return failed(QStringLiteral("could not replace %1").arg(QDir::toNativeSeparators(m_shown)), error);
    m_partial.clear();
    return Error();
}

} // namespace nocta
