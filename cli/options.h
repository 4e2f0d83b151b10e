// SPDX-License-Identifier: MIT
//
// The command line of vantrel-cli: commands, options, their checks of form and
// range, and the help texts. Nothing here touches the network, so a bad
// argument is always caught before anything is sent.
#pragma once

#include "discovery.h"
#include "plan.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace Cli {

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

enum class Command { None, Find, Show, Set, Watch, Apply };
enum class Format { Text, Json, Csv };

constexpr int DefaultVerifyMs = 3000;
constexpr int DefaultWatchIntervalMs = 3000;
constexpr int DefaultMissed = 2;
constexpr int MaxWaitMs = 600000;
constexpr int MaxRetries = 100;

struct SearchOptions {
    int timeoutMs = Discovery::SearchWindowMs;
    int retries = 0;
    int expect = 0; // 0: listen for the whole window
    bool alsoLimited = false;
    QString interfaceName;     // empty: every interface
    QList<Discovery::Quad> to; // --to: also asked through the routing table
};

struct Options {
    Command command = Command::None;
    bool help = false;
    bool version = false;
    SearchOptions search;
    Format format = Format::Text;
    QString logFile;
    QByteArray serial; // Latin-1, 1 to 16 bytes
    Discovery::NetworkEdits edits;
    bool force = false;
    int verifyTimeoutMs = DefaultVerifyMs;
    QStringList models; // --model: keep only these (find, watch)
    // 'watch'
    int intervalMs = DefaultWatchIntervalMs;
    int missed = DefaultMissed;
    int count = 0; // 0: until SIGINT or SIGTERM
    // 'apply'
    QString planPath; // "-": standard input
    Plan plan;        // read by run() before anything is sent
    bool dryRun = false;
};

// One line naming the argument that was wrong and what was expected.
struct UsageError {
    QString message;
};

// `args` without the program name. Throws UsageError.
Options parseArguments(const QStringList &args);

// The value checks of the options, for plans too. `what` names the value in
// the error ("--ip", "PLAN line 3, column 'ip'"); each throws UsageError.
[[noreturn]] void fail(const QString &message);
QString quoted(const QString &text); // control characters escaped
int number(const QString &what, const QString &text, int min, int max);
Discovery::Quad address(const QString &what, const QString &text);
bool onOff(const QString &what, const QString &text);
QByteArray serialNumber(const QString &text);

// The --help text of a command; Command::None gives the program's.
QString helpText(Command command);

bool hasEdits(const Discovery::NetworkEdits &e);

} // namespace Cli
