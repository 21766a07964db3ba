#include "pipeline/workfolder.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

namespace nocta {

namespace {

// Files named by a number and the given suffix only: 001.bmp, 1234.bmp.
QFileInfoList numberedFiles(const QString &directory, const QString &suffix)
{
    const QRegularExpression pattern(QStringLiteral("^[0-9]+\\.%1$").arg(suffix),
                                     QRegularExpression::CaseInsensitiveOption);
    QFileInfoList found;
    const QFileInfoList entries = QDir(directory).entryInfoList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
    for (const QFileInfo &entry : entries)
        if (pattern.match(entry.fileName()).hasMatch())
            found << entry;
    return found;
}

bool removeNumbered(const QString &directory, const QString &shownDir, const QString &suffix, QString *error)
{
    bool ok = true;
    for (const QFileInfo &entry : numberedFiles(directory, suffix)) {
        QFile file(entry.filePath());
        if (!file.remove() && ok) {
            ok = false;
            if (error)
                *error = QStringLiteral("could not remove %1/%2 (%3)").arg(shownDir, entry.fileName(), file.errorString());
        }
    }
    return ok;
}

bool makeDirectory(const QString &base, const QString &name)
{
    return QDir(base).mkpath(name) && QFileInfo(QDir(base).filePath(name)).isDir();
}

} // namespace

WorkFolder::WorkFolder(const QString &path)
    : m_path(QDir::cleanPath(QDir(path.isEmpty() ? QStringLiteral(".") : path).absolutePath()))
{
}

QString WorkFolder::filePath(const QString &relative) const
{
    return QDir(m_path).filePath(relative);
}

QString WorkFolder::screens() const { return filePath(screensName()); }
QString WorkFolder::processed() const { return filePath(processedName()); }
QString WorkFolder::defaultMovie() const { return filePath(defaultMovieName()); }

QString WorkFolder::outputFrame(const QString &frameName) const
{
    return QDir(processed()).filePath(frameName + QStringLiteral(".png"));
}

bool WorkFolder::makeScreens() const { return makeDirectory(m_path, screensName()); }
bool WorkFolder::makeProcessed() const { return makeDirectory(m_path, processedName()); }

QFileInfoList WorkFolder::decodedFrames() const { return numberedFiles(screens(), QStringLiteral("bmp")); }
QFileInfoList WorkFolder::outputFrames() const { return numberedFiles(processed(), QStringLiteral("png")); }

bool WorkFolder::removeDecodedFrames(QString *error) const
{
    return removeNumbered(screens(), screensName(), QStringLiteral("bmp"), error);
}

bool WorkFolder::removeOutputFrames(QString *error) const
{
    return removeNumbered(processed(), processedName(), QStringLiteral("png"), error);
}

} // namespace nocta
