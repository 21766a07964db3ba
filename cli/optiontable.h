#pragma once

#include "cli/options.h"

#include <QString>
#include <QStringList>

#include <vector>

namespace nocta::cli {

// The commands an option applies to, one bit each.
using CommandSet = unsigned;

constexpr CommandSet commandBit(Command command)
{
    return 1u << unsigned(command);
}

template <typename... Commands>
constexpr CommandSet on(Commands... commands)
{
    return (0u | ... | commandBit(commands));
}

constexpr CommandSet everyCommand =
    on(Command::Decode, Command::Process, Command::Encode, Command::All, Command::Join, Command::Demo, Command::Preview);

// What an option's value is, and the range it must lie in. The checks and
// their messages are the same for every option of a kind.
enum class Kind {
    Flag,        // no value
    Answer,      // no value; answers at once (--help, --version), whatever else is given
    Text,        // any text but an empty one
    Choice,      // one of the words of the value name ("a|b|c"), or of choices()
    WholeNumber, // an integer from min to max
    Number,      // a decimal number from min to max
    Time,        // a time from the start of a movie: seconds (90, 1.5) or [HH:]MM:SS[.frac]
    Duration,    // a length of time, written as Time, above 0
    FrameRate,   // a positive number or fraction: 25, 29.97, 30000/1001
    BitRate,     // bits per second from min to max, with k or M: 8M, 2500k
    PartOfN,     // K/N with 1 <= K <= N
};

struct ValueCheck
{
    Kind kind = Kind::Flag;
    double min = 0;
    double max = 0;
    QStringList (*choices)() = nullptr; // Choice: the words, where the value name does not list them
};

constexpr ValueCheck flag() { return {Kind::Flag}; }
constexpr ValueCheck answer() { return {Kind::Answer}; }
constexpr ValueCheck text() { return {Kind::Text}; }
constexpr ValueCheck choice(QStringList (*choices)() = nullptr) { return {Kind::Choice, 0, 0, choices}; }
constexpr ValueCheck wholeNumber(int min, int max) { return {Kind::WholeNumber, double(min), double(max)}; }
constexpr ValueCheck number(double min, double max) { return {Kind::Number, min, max}; }
constexpr ValueCheck time() { return {Kind::Time}; }
constexpr ValueCheck duration() { return {Kind::Duration}; }
constexpr ValueCheck frameRate() { return {Kind::FrameRate}; }
constexpr ValueCheck bitRate(double min, double max) { return {Kind::BitRate, min, max}; }
constexpr ValueCheck partOfN() { return {Kind::PartOfN}; }

// A checked value, as the option's store function receives it.
struct Value
{
    QString text;      // as given (Choice: the word)
    int number = 0;    // WholeNumber
    double real = 0;   // Number; Time and Duration: in seconds
    PartSpec part;     // PartOfN
};

// Whether an option goes with all --via-frames.
enum class Route {
    Any,
    Streamed,  // not with --via-frames
    ViaFrames, // only with --via-frames
};

// One option of nocta-cli: its names, its value, where it applies, what it
// sets and its line in --help. Options are listed in --help in table order.
struct OptionRow
{
    const char *names;         // "o,output": -o and --output; the first one names it in messages
    const char *valueName;     // in --help, "FILE"; nullptr for an option without a value
    CommandSet commands;       // the commands it applies to
    ValueCheck check;
    void (*store)(Options &options, const Value &value);
    const char *help;          // the description; --help puts the commands before it, unless it is every one
    Route route = Route::Any;
    const char *refusal = nullptr; // for another command: "%1" the option, "%2" the command
    bool qualityOnly = false;  // a setting of the quality mode: refused with another --mode
};

// A command and the movies it takes.
struct CommandRow
{
    const char *name;
    Command command;
    int fewestMovies;
    int mostMovies;            // -1: any number
    const char *needs;         // with fewer: "decode needs a movie"
};

const std::vector<OptionRow> &optionTable();
const std::vector<CommandRow> &commandTable();

// "-o" or "--workdir": the first name with its dashes.
QString optionName(const OptionRow &row);
// Checks text as the value of the option, by its kind and range, and reads
// it into *value; false with the reason in *error.
bool checkValue(const OptionRow &row, const QString &text, Value *value, QString *error);

// The names of the commands, in table order.
QStringList commandNames(CommandSet commands);
// "a, b and c".
QString inWords(QStringList words);

// Sets *error (when given) to reason and returns false: a refused value.
bool fail(QString *error, const QString &reason);

} // namespace nocta::cli
