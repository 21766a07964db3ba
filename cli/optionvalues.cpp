// The checks of an option's value by its kind, with the same message for
// every option of a kind.

#include "cli/optiontable.h"
#include "pipeline/movie/partplan.h"

#include <QRegularExpression>

namespace nocta::cli {

bool fail(QString *error, const QString &reason)
{
    if (error)
        *error = reason;
    return false;
}

namespace {

// What a value is called in "--workdir needs a directory".
QString valueNoun(const OptionRow &row)
{
    const QString name = QString::fromLatin1(row.valueName);
    if (name == QLatin1String("DIR"))
        return QStringLiteral("a directory");
    if (name == QLatin1String("FILE"))
        return QStringLiteral("a file name");
    if (name == QLatin1String("MOVIE"))
        return QStringLiteral("a movie");
    return QStringLiteral("a value");
}

bool checkChoice(const OptionRow &row, const QString &text, QString *error)
{
    const QStringList words =
        row.check.choices ? row.check.choices() : QString::fromLatin1(row.valueName).split(QLatin1Char('|'));
    if (words.contains(text))
        return true;
    const QString noun = QString::fromLatin1(row.names).section(QLatin1Char(','), -1);
    return fail(error, QStringLiteral("unknown %1 '%2'; the %1s are %3").arg(noun, text, inWords(words)));
}

// A positive number, or a fraction of two.
bool isFrameRate(const QString &text)
{
    static const QRegularExpression rate(QStringLiteral("^[0-9]+(\\.[0-9]+|/[0-9]+)?$"));
    const QStringList parts = text.split(QLatin1Char('/'));
    return rate.match(text).hasMatch() && parts.first().toDouble() > 0
        && (parts.size() == 1 || parts.last().toDouble() > 0);
}

// Bits per second, with k or M for thousands or millions: 8M, 2500k; -1
// when the text is none.
double readBitRate(const QString &text)
{
    static const QRegularExpression rate(QStringLiteral("^([0-9]+(\\.[0-9]+)?)([kKmM]?)$"));
    const QRegularExpressionMatch match = rate.match(text);
    if (!match.hasMatch())
        return -1;
    const QString unit = match.captured(3).toLower();
    return match.captured(1).toDouble() * (unit == QLatin1String("k") ? 1e3 : unit == QLatin1String("m") ? 1e6 : 1);
}

// 10000 -> "10k", 1e9 -> "1000M".
QString bitRateText(double bits)
{
    return bits >= 1e6 ? QString::number(bits / 1e6) + QLatin1Char('M') : QString::number(bits / 1e3) + QLatin1Char('k');
}

// A decimal number, written out: no exponent, no "inf".
bool readNumber(const QString &text, double *number)
{
    static const QRegularExpression decimal(QStringLiteral("^-?[0-9]+(\\.[0-9]+)?$"));
    *number = text.toDouble();
    return decimal.match(text).hasMatch();
}

// Seconds (90, 1.5), or [HH:]MM:SS with minutes and seconds below 60.
bool readTime(const QString &text, double *seconds)
{
    static const QRegularExpression time(QStringLiteral("^(?:(?:([0-9]+):)?([0-9]+):)?([0-9]+(?:\\.[0-9]+)?)$"));
    const QRegularExpressionMatch match = time.match(text);
    if (!match.hasMatch())
        return false;
    const double hours = match.captured(1).toDouble();
    const double minutes = match.captured(2).toDouble();
    *seconds = match.captured(3).toDouble();
    if ((!match.captured(2).isEmpty() && *seconds >= 60) || (!match.captured(1).isEmpty() && minutes >= 60))
        return false;
    *seconds += hours * 3600 + minutes * 60;
    return true;
}

bool checkRange(const OptionRow &row, const QString &text, Value *value, QString *error)
{
    const QString name = optionName(row);
    const double min = row.check.min, max = row.check.max;
    if (row.check.kind == Kind::WholeNumber) {
        bool number = false;
        value->number = text.toInt(&number);
        if (number && value->number >= min && value->number <= max)
            return true;
        return fail(error, QStringLiteral("%1 takes a whole number from %2 to %3").arg(name).arg(min).arg(max));
    }
    if (readNumber(text, &value->real) && value->real >= min && value->real <= max)
        return true;
    return fail(error, QStringLiteral("%1 takes a number from %2 to %3").arg(name).arg(min).arg(max));
}

bool checkTime(const OptionRow &row, const QString &text, Value *value, QString *error)
{
    if (!readTime(text, &value->real))
        return fail(error, QStringLiteral("%1 takes a time in seconds or [HH:]MM:SS, such as 90, 1:30 or 1:02:03.5")
                               .arg(optionName(row)));
    if (row.check.kind == Kind::Duration && value->real <= 0)
        return fail(error, QStringLiteral("%1 takes a length of time above 0").arg(optionName(row)));
    return true;
}

} // namespace

bool checkValue(const OptionRow &row, const QString &text, Value *value, QString *error)
{
    const QString name = optionName(row);
    value->text = text;
    switch (row.check.kind) {
    case Kind::Flag:
    case Kind::Answer:
        return true;
    case Kind::Text:
        return !text.isEmpty() || fail(error, QStringLiteral("%1 needs %2").arg(name, valueNoun(row)));
    case Kind::Choice:
        return checkChoice(row, text, error);
    case Kind::WholeNumber:
    case Kind::Number:
        return checkRange(row, text, value, error);
    case Kind::Time:
    case Kind::Duration:
        return checkTime(row, text, value, error);
    case Kind::FrameRate:
        return isFrameRate(text)
            || fail(error, QStringLiteral("%1 takes frames per second, such as 25, 29.97 or 30000/1001").arg(name));
    case Kind::BitRate: {
        // Far below or above what an encoder can keep to, x264 refuses to
        // start.
        const double bits = readBitRate(text);
        return (bits >= row.check.min && bits <= row.check.max)
            || fail(error, QStringLiteral("%1 takes bits per second from %2 to %3, such as 8M or 2500k")
                               .arg(name, bitRateText(row.check.min), bitRateText(row.check.max)));
    }
    case Kind::PartOfN:
        return parsePartSpec(text, &value->part)
            || fail(error, QStringLiteral("%1 takes K/N, part K of N with 1 <= K <= N, such as 3/8 (not '%2')")
                               .arg(name, text));
    }
    return false;
}

} // namespace nocta::cli
