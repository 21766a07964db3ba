#include "pipeline/core/safefile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#include <unistd.h>
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

bool replaceFile(const QString &from, const QString &to, QString *error)
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
    if (code && error)
        *error = QString::fromLocal8Bit(code.message().c_str());
    return !code;
}

bool syncFile(const QString &path, QString *error)
{
    QFile file(path);
    // Opened for appending: writing is allowed, nothing is truncated.
    if (!file.open(QIODevice::Append) || !file.flush()) {
        if (error)
            *error = file.errorString();
        return false;
    }
#ifdef Q_OS_UNIX
    if (::fsync(file.handle()) != 0) {
        if (error)
            *error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
#endif
    return true;
}

} // namespace nocta
