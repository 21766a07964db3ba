#include "pipeline/core/error.h"

namespace nocta {

namespace {

QString stageName(Error::Stage stage)
{
    switch (stage) {
    case Error::Stage::Decoding:
        return QStringLiteral("Decoding");
    case Error::Stage::Processing:
        return QStringLiteral("Processing");
    case Error::Stage::Encoding:
        return QStringLiteral("Encoding");
    case Error::Stage::Joining:
        return QStringLiteral("Joining");
    }
    return QString();
}

} // namespace

QString Error::text() const
{
    return reason.isEmpty() ? detail : QStringLiteral("%1 (%2)").arg(detail, reason);
}

QString Error::line() const
{
    if (kind == Kind::NoFrames)
        return QStringLiteral(" - No frames to process in %1/").arg(subject);
    if (kind == Kind::Stopped && detail.isEmpty())
        return QStringLiteral(" - %1 stopped.").arg(stageName(stage));
    if (kind == Kind::Stopped)
        return QStringLiteral(" - %1 stopped: %2").arg(stageName(stage), detail);
    return QStringLiteral(" - %1 failed: %2.").arg(stageName(stage), text());
}

Error Fault::error(Error::Stage stage) const
{
    return failed ? Error::failed(stage, reason) : Error();
}

Error Fault::error(Error::Stage stage, const QString &detail) const
{
    return failed ? Error::failed(stage, detail, reason) : Error();
}

} // namespace nocta
