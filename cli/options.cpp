#include "cli/options.h"

#include "cli/optiontable.h"
#include "pipeline/movieparts.h"

#include <QCommandLineParser>
#include <QRegularExpression>

namespace nocta::cli {

namespace {

bool fail(QString *error, const QString &reason)
{
    if (error)
        *error = reason;
    return false;
}

QString firstName(const OptionRow &row)
{
    return QString::fromLatin1(row.names).section(QLatin1Char(','), 0, 0);
}

QString commandName(Command command)
{
    for (const CommandRow &row : commandTable())
        if (row.command == command)
            return QString::fromLatin1(row.name);
    return QString();
}

const CommandRow *commandNamed(const QString &name)
{
    for (const CommandRow &row : commandTable())
        if (name == QLatin1String(row.name))
            return &row;
    return nullptr;
}

void setUpParser(QCommandLineParser *parser)
{
    parser->setSingleDashWordOptionMode(QCommandLineParser::ParseAsCompactedShortOptions);
    parser->setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsOptions);
    for (const OptionRow &row : optionTable()) {
        const QStringList names = QString::fromLatin1(row.names).split(QLatin1Char(','));
        parser->addOption(QCommandLineOption(names, QString(), QString::fromLatin1(row.valueName)));
    }
}

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

// A positive number of bits per second, with k or M for thousands or millions.
bool isBitRate(const QString &text)
{
    static const QRegularExpression rate(QStringLiteral("^([0-9]+(\\.[0-9]+)?)[kKmM]?$"));
    const QRegularExpressionMatch match = rate.match(text);
    return match.hasMatch() && match.captured(1).toDouble() > 0;
}

// The value of an option, checked against its kind and range.
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
    case Kind::WholeNumber: {
        bool number = false;
        value->number = text.toInt(&number);
        if (number && value->number >= row.check.min && value->number <= row.check.max)
            return true;
        return fail(error, QStringLiteral("%1 takes a whole number from %2 to %3")
                               .arg(name).arg(row.check.min).arg(row.check.max));
    }
    case Kind::FrameRate:
        return isFrameRate(text)
            || fail(error, QStringLiteral("%1 takes frames per second, such as 25, 29.97 or 30000/1001").arg(name));
    case Kind::BitRate:
        return isBitRate(text) || fail(error, QStringLiteral("%1 takes bits per second, such as 8M or 2500k").arg(name));
    case Kind::PartOfN:
        return parsePartSpec(text, &value->part, error);
    }
    return false;
}

// Every option given, checked and stored; an option with a value may be
// given once.
bool readValues(const QCommandLineParser &parser, Options *options, QString *error)
{
    for (const OptionRow &row : optionTable()) {
        if (!parser.isSet(firstName(row)))
            continue;
        const QStringList texts = parser.values(firstName(row));
        if (texts.size() > 1)
            return fail(error, QStringLiteral("%1 given more than once").arg(optionName(row)));
        Value value;
        if (!checkValue(row, texts.value(0), &value, error))
            return false;
        row.store(*options, value);
    }
    return true;
}

// Every option given applies to the command, and goes with the route of all.
bool checkApplies(const QCommandLineParser &parser, const Options &options, QString *error)
{
    const QString command = commandName(options.command);
    for (const OptionRow &row : optionTable()) {
        if (!parser.isSet(firstName(row)) || (row.commands & commandBit(options.command)))
            continue;
        if (row.refusal)
            return fail(error, QString::fromLatin1(row.refusal).arg(optionName(row), command));
        return fail(error, QStringLiteral("%1 applies to %2, not to %3")
                               .arg(optionName(row), inWords(commandNames(row.commands)), command));
    }
    for (const OptionRow &row : optionTable()) {
        if (!parser.isSet(firstName(row)))
            continue;
        if (row.route == Route::Streamed && options.viaFrames)
            return fail(error, QStringLiteral("%1 does not apply with --via-frames, which goes through the "
                                              "window's stages").arg(optionName(row)));
        if (row.route == Route::ViaFrames && !options.viaFrames)
            return fail(error, QStringLiteral("%1 applies to %2 --via-frames, not to the streamed route")
                                   .arg(optionName(row), inWords(commandNames(row.commands))));
    }
    return true;
}

bool checkMovies(const QStringList &movies, Options *options, QString *error)
{
    const QString command = commandName(options->command);
    const CommandRow &row = *commandNamed(command);
    if (movies.size() < row.fewestMovies)
        return fail(error, QStringLiteral("%1 needs %2").arg(command, QString::fromLatin1(row.needs)));
    if (row.mostMovies == 0 && !movies.isEmpty())
        return fail(error, QStringLiteral("%1 takes no movie, but '%2' was given").arg(command, movies.first()));
    if (row.mostMovies > 0 && movies.size() > row.mostMovies)
        return fail(error, QStringLiteral("%1 takes %2").arg(command, row.mostMovies == 1 ? QStringLiteral("one movie")
                                                                   : QStringLiteral("%1 movies").arg(row.mostMovies)));
    if (options->part.isPart() && movies.size() > 1)
        return fail(error, QStringLiteral("--part takes one movie"));
    if (options->command == Command::Join && options->output.isEmpty())
        return fail(error, QStringLiteral("join needs -o, the movie to write"));
    if (movies.contains(QString()))
        return fail(error, QStringLiteral("an empty movie name was given"));
    options->movies = movies;
    return true;
}

// The command, the first word that is not an option.
bool readCommand(QStringList *positional, Command *command, QString *error)
{
    const QString commands = inWords(commandNames(everyCommand));
    if (positional->isEmpty())
        return fail(error, QStringLiteral("no command given; the commands are %1").arg(commands));
    const QString name = positional->takeFirst();
    if (name == QLatin1String("help")) {
        *command = Command::Help;
        return true;
    }
    const CommandRow *row = commandNamed(name);
    if (!row)
        return fail(error, QStringLiteral("unknown command '%1'; the commands are %2").arg(name, commands));
    *command = row->command;
    return true;
}

QString parseError(const QCommandLineParser &parser)
{
    const QStringList unknown = parser.unknownOptionNames();
    if (unknown.isEmpty())
        return parser.errorText();
    const QString &name = unknown.first();
    return QStringLiteral("unknown option '%1%2'").arg(name.size() == 1 ? "-" : "--", name);
}

} // namespace

bool parseArguments(const QStringList &arguments, Options *options, QString *error)
{
    QCommandLineParser parser;
    setUpParser(&parser);
    // The parser expects the program name first.
    if (!parser.parse(QStringList{QStringLiteral("nocta-cli")} + arguments))
        return fail(error, parseError(parser));

    Options result;
    for (const OptionRow &row : optionTable()) {
        if (row.check.kind == Kind::Answer && parser.isSet(firstName(row))) {
            row.store(result, Value());
            *options = result;
            return true;
        }
    }
    QStringList positional = parser.positionalArguments();
    if (!readCommand(&positional, &result.command, error))
        return false;
    if (result.command != Command::Help
        && (!readValues(parser, &result, error) || !checkApplies(parser, result, error)
            || !checkMovies(positional, &result, error)))
        return false;
    *options = result;
    return true;
}

} // namespace nocta::cli
