// SPDX-License-Identifier: MIT
//
// The command line of vantrel-cli: each option declared once, with its short
// form, value name and help line, in one table per command; one parser whose
// errors name the argument that was wrong and what was expected, and the
// "Options:" part of each help text written from the same tables. Nothing
// here touches the network, so a bad argument is always caught before
// anything is sent.
#pragma once

#include "network.h"
#include "unitname.h"
#include "values.h"

#include <QStringList>

#include <functional>

namespace Cli {

// The engine's names are this program's words.
using namespace Core;

enum ExitCode {
    ExitOk = 0,
    ExitUsage = 1,
    ExitNotFound = 2,
    ExitNotConfirmed = 3,
    ExitRefused = 4,
    ExitOutput = 5,
    ExitNetwork = 6,       // the reply port is taken, or there is no interface to send on
    ExitInterrupted = 130, // find ended by Ctrl-C, after writing what it found
};

enum class Format { Text, Json, Csv };

constexpr int DefaultVerifyMs = 3000;
// --to addresses of one run: a /22 and a few more.
constexpr int MaxTo = 1024;

// What every command takes: the search options and --log.
struct CommonOptions {
    SearchOptions search;
    QString logFile;
    QString captureFile;  // --pcap
    bool verbose = false; // the log's lines on stderr too
    Format format = Format::Text;
};

// 'set' and 'apply'.
struct SendOptions {
    bool force = false;
    bool dryRun = false;
    int verifyTimeoutMs = DefaultVerifyMs;
};

struct OptionSpec {
    QString name;       // "--timeout"
    char shortName = 0; // 't': -t
    QString valueName;  // "MS"; empty: the option takes no value
    QString help;       // one paragraph, wrapped when written
    std::function<void(const QString &)> apply;
    bool repeatable = false;
    // The values the shell's completion offers; a value name "on|off"
    // offers its words by itself.
    QStringList choices = {};
    // Said in the manual page after the help: what does not fit a help line.
    QString manual = {};
};

// The options of a help section: "Options:", "Search options:", ...
struct OptionGroup {
    QString title;
    QList<OptionSpec> options;
};

// The title of the search options' group, which every command has.
extern const char *const SearchTitle;

// The search options and --log, --pcap and --help, writing into `o`.
OptionGroup searchOptions(CommonOptions &o);
OptionSpec jsonOption(CommonOptions &o, const QString &help);
OptionSpec modelOption(CommonOptions &o);
OptionSpec settleOption(CommonOptions &o); // find, show, watch and doctor
QList<OptionSpec> sendOptions(SendOptions &o);

// Said after "not found": 'doctor' tells why.
extern const char *const DoctorHint;

// The one positional argument of 'show' and 'set'.
UnitName unitArgument(const QString &command, const QStringList &positional);
// For the commands that take options only.
void noArguments(const QString &command, const QStringList &positional);

// `text` in lines of at most 80 columns, each indented by `indent`.
QString wrapped(const QString &text, int indent);

// The option lines of a help text, each group under its title, in 80 columns.
QString optionHelp(const QList<OptionGroup> &groups);
// The same options as a manual page's tagged paragraphs (roff), each group
// under a subheading when there are several.
QString optionManual(const QList<OptionGroup> &groups);

// Parses the arguments after the command word against `groups` and returns
// the others (the positional arguments). Short options may be combined:
// "-jt 500" is "-j -t 500". `elsewhere` holds the options of the other
// commands, for the error that names one given to the wrong command.
// Throws UsageError.
QStringList parseOptions(const QString &command, const QList<OptionGroup> &groups,
                         const QStringList &elsewhere, const QStringList &args);

} // namespace Cli
