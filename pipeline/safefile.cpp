#include "pipeline/safefile.h"

#include <QFile>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace nocta {

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
