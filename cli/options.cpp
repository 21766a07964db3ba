#include "cli/options.h"

#include "cli/optiontable.h"

#include <QCommandLineParser>

namespace nocta::cli {

namespace {

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
        // preview shows every mode, the quality mode with these settings.
        if (row.qualityOnly && options.mode != DenoiseMode::Quality && options.command != Command::Preview)
            return fail(error, QStringLiteral("%1 is a setting of --mode quality; it does not apply to --mode %2")
                                   .arg(optionName(row), modeName(options.mode)));
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
    if (options->part.isPart() && options->cut.isCut())
        return fail(error, QStringLiteral("--part splits the whole movie: leave out --start and --duration"));
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
