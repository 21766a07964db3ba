#include "pipeline/frames/workfolder.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QVector>

#include <algorithm>

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

Error removeNumbered(const QString &directory, const QString &shownDir, const QString &suffix, Error::Stage stage)
{
    Error error;
    for (const QFileInfo &entry : numberedFiles(directory, suffix)) {
        QFile file(entry.filePath());
        if (!file.remove() && !error)
            error = Error::failed(stage, QStringLiteral("could not remove %1/%2").arg(shownDir, entry.fileName()),
                                  file.errorString());
    }
    return error;
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

Error WorkFolder::encoderFrameCount(int *count) const
{
    const auto failed = [](const QString &detail) { return Error::failed(Error::Stage::Encoding, detail); };
    const auto padded = [](qint64 number) { return QStringLiteral("%1").arg(number, 3, 10, QLatin1Char('0')); };
    const auto shown = [&](qint64 number) {
        return processedName() + QLatin1Char('/') + padded(number) + QStringLiteral(".png");
    };

    QVector<qint64> numbers;
    for (const QFileInfo &entry : outputFrames()) {
        bool ok = false;
        const qint64 number = entry.completeBaseName().toLongLong(&ok);
        if (!ok || entry.fileName() != padded(number) + QStringLiteral(".png")) {
            return failed(QStringLiteral("%1/%2 is not named as the encoder reads the frames (%3)")
                              .arg(processedName(), entry.fileName(), encodePattern()));
        }
        numbers << number;
    }
    std::sort(numbers.begin(), numbers.end());

    // The runs of consecutive numbers, as first and last.
    QVector<QPair<qint64, qint64>> runs;
    for (const qint64 number : numbers) {
        if (runs.isEmpty() || number != runs.last().second + 1)
            runs.append({number, number});
        else
            runs.last().second = number;
    }
    *count = int(numbers.size());
    if (runs.size() <= 1)
        return Error();

    const int listed = runs.size() > 4 ? 3 : int(runs.size());
    QStringList there;
    for (int i = 0; i < listed; ++i) {
        const auto &run = runs.at(i);
        there << (run.first == run.second ? padded(run.first) : padded(run.first) + QLatin1Char('-') + padded(run.second));
    }
    if (listed < runs.size())
        there << QStringLiteral("%1 more runs").arg(runs.size() - listed);
    const QString present = there.mid(0, there.size() - 1).join(QStringLiteral(", ")) + QStringLiteral(" and ") + there.last();

    const qint64 firstMissing = runs.at(0).second + 1;
    const qint64 lastMissing = runs.at(1).first - 1;
    const QString missing = firstMissing == lastMissing
        ? QStringLiteral("%1 is missing").arg(shown(firstMissing))
        : QStringLiteral("%1 to %2 are missing").arg(shown(firstMissing), shown(lastMissing));
    return failed(QStringLiteral("%1 (frames %2 are there)").arg(missing, present));
}

Error WorkFolder::removeDecodedFrames() const
{
    return removeNumbered(screens(), screensName(), QStringLiteral("bmp"), Error::Stage::Decoding);
}

Error WorkFolder::removeOutputFrames() const
{
    return removeNumbered(processed(), processedName(), QStringLiteral("png"), Error::Stage::Processing);
}

} // namespace nocta
