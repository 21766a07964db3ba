#include "pipeline/movie/movieoutput.h"

#include "pipeline/core/safefile.h"
#include "pipeline/movie/ffmpegrun.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSysInfo>

#include <cerrno>

#ifdef Q_OS_UNIX
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

// What partialMovieName() makes: <base>.partial-<host>-<pid>-<8 hex random><8 hex check>.<suffix>,
// for any base and suffix (captures 1 to 6), or for those of target.
QRegularExpression partialPattern(const QString &base = QStringLiteral("(.+)"),
                                  const QString &suffix = QStringLiteral("([^.]+)"))
{
    return QRegularExpression(QStringLiteral("^%1\\.partial-(.+)-([0-9]+)-([0-9a-f]{8})([0-9a-f]{8})\\.%2$").arg(base, suffix));
}

QRegularExpression targetPattern(const QFileInfo &target, const QString &suffix)
{
    return partialPattern(QLatin1Char('(') + QRegularExpression::escape(target.completeBaseName()) + QLatin1Char(')'),
                          QLatin1Char('(') + QRegularExpression::escape(suffix) + QLatin1Char(')'));
}

// The check of a partial file's name: a hash of everything else in it.
QString partialCheck(const QString &base, const QString &host, const QString &pid, const QString &random,
                     const QString &suffix)
{
    const QByteArray text = QStringList{QStringLiteral("nocta partial movie"), base, host, pid, random, suffix}
                                .join(QLatin1Char('\n')).toUtf8();
    return QString::fromLatin1(QCryptographicHash::hash(text, QCryptographicHash::Sha256).toHex().left(8));
}

// A name that partialPattern() matched, with a check that holds.
bool checkHolds(const QRegularExpressionMatch &match)
{
    return match.hasMatch()
        && match.captured(5) == partialCheck(match.captured(1), match.captured(2), match.captured(3), match.captured(4),
                                             match.captured(6));
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

QString partialMovieName(const QString &target, qint64 pid)
{
    const QFileInfo info(target);
    const QString base = info.completeBaseName();
    const QString host = hostTag();
    const QString process = QString::number(pid < 0 ? QCoreApplication::applicationPid() : pid);
    const QString suffix = movieSuffix(info);
    QString candidate;
    do {
        const QString random = QStringLiteral("%1").arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'));
        candidate = info.dir().filePath(QStringLiteral("%1.partial-%2-%3-%4%5.%6")
                                            .arg(base, host, process, random,
                                                 partialCheck(base, host, process, random, suffix), suffix));
    } while (QFileInfo::exists(candidate) || QFileInfo(candidate).isSymbolicLink());
    return candidate;
}

bool isPartialMovie(const QString &path)
{
    return checkHolds(partialPattern().match(QFileInfo(path).fileName()));
}

void removeStalePartialMovies(const QString &target)
{
    const QFileInfo info(target);
    const QRegularExpression pattern = targetPattern(info, movieSuffix(info));
    const QString host = hostTag();
    const QDir dir = info.dir();
    const QStringList names = dir.entryList({info.completeBaseName() + QStringLiteral(".partial-*")},
                                            QDir::Files | QDir::Hidden | QDir::System);
    for (const QString &name : names) {
        const QRegularExpressionMatch match = pattern.match(name);
        if (checkHolds(match) && match.captured(2) == host && !processRuns(match.captured(3).toLongLong()))
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

Error MovieOutput::commit(int frames)
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
    if (const Fault fault = syncFile(m_partial))
        return fault.error(m_stage, QStringLiteral("could not write the new movie to the disk"));
    if (m_stop && m_stop())
        return Error::stopped(m_stage);
    const Fault fault = m_replace ? replaceFile(m_partial, m_target) : renameNoReplace(m_partial, m_target);
    if (fault && fault.code == EEXIST)
        return failed(QStringLiteral("%1 appeared while this movie was made; it is left as it is")
                          .arg(QDir::toNativeSeparators(m_shown)));
    if (fault)
        return fault.error(m_stage, QStringLiteral("could not replace %1").arg(QDir::toNativeSeparators(m_shown)));
    m_partial.clear();
    return Error();
}

} // namespace nocta
