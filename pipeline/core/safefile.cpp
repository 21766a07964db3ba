#include "pipeline/core/safefile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif
#ifdef Q_OS_LINUX
#include <cstdio>   // renameat2
#endif

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace nocta {

// What a path that is neither a regular file nor a directory is, in words.
QString fileKind(const QString &path)
{
#ifdef Q_OS_UNIX
    struct stat status = {};
    if (::stat(QFile::encodeName(path).constData(), &status) == 0) {
        if (S_ISCHR(status.st_mode))
            return QStringLiteral("a character device");
        if (S_ISBLK(status.st_mode))
            return QStringLiteral("a block device");
        if (S_ISFIFO(status.st_mode))
            return QStringLiteral("a pipe (FIFO)");
        if (S_ISSOCK(status.st_mode))
            return QStringLiteral("a socket");
    }
#else
    Q_UNUSED(path);
#endif
    return QStringLiteral("a special file");
}

bool sameFile(const QString &a, const QString &b)
{
#ifdef Q_OS_UNIX
    struct stat sa, sb;
    if (::stat(QFile::encodeName(a).constData(), &sa) != 0 || ::stat(QFile::encodeName(b).constData(), &sb) != 0)
        return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
#else
    const QString ca = QFileInfo(a).canonicalFilePath();
    return !ca.isEmpty() && ca == QFileInfo(b).canonicalFilePath();
#endif
}

namespace {

Fault systemFault(int code)
{
    return Fault::because(QString::fromLocal8Bit(std::strerror(code)), code);
}

} // namespace

Fault replaceFile(const QString &from, const QString &to)
{
#ifdef Q_OS_WIN
    const std::filesystem::path source(from.toStdWString());
    const std::filesystem::path target(to.toStdWString());
#else
    const std::filesystem::path source(QFile::encodeName(from).toStdString());
    const std::filesystem::path target(QFile::encodeName(to).toStdString());
#endif
    std::error_code code;
    std::filesystem::rename(source, target, code);
    if (code)
        return Fault::because(QString::fromLocal8Bit(code.message().c_str()));
    return Fault();
}

Fault renameNoReplace(const QString &from, const QString &to)
{
#ifdef Q_OS_UNIX
    const QByteArray source = QFile::encodeName(from);
    const QByteArray target = QFile::encodeName(to);
#ifdef Q_OS_LINUX
    if (::renameat2(AT_FDCWD, source.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE) == 0)
        return Fault();
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
        return systemFault(errno);
#endif
    // No such rename here: a hard link cannot replace a file either.
    if (::link(source.constData(), target.constData()) == 0) {
        ::unlink(source.constData());
        return Fault();
    }
    if (errno == EEXIST)
        return systemFault(EEXIST);
#endif
    if (QFileInfo::exists(to) || QFileInfo(to).isSymbolicLink())
        return systemFault(EEXIST);
    return replaceFile(from, to);
}

Fault syncFile(const QString &path)
{
    QFile file(path);
    // Opened for appending: writing is allowed, nothing is truncated.
    if (!file.open(QIODevice::Append) || !file.flush())
        return Fault::because(file.errorString());
#ifdef Q_OS_UNIX
    if (::fsync(file.handle()) != 0)
        return systemFault(errno);
#endif
    return Fault();
}

} // namespace nocta
