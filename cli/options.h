// SPDX-License-Identifier: MIT
//
// The command line of vantrel-cli: one table of options per command, parsed
// by one parser whose errors name the argument that was wrong and what was
// expected. Nothing here touches the network, so a bad argument is always
// caught before anything is sent.
#pragma once

#include "network.h"
#include "values.h"

#include <QStringList>

#include <functional>

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

enum class Format { Text, Json, Csv };

constexpr int DefaultVerifyMs = 3000;

// What every command takes: the search options and --log.
struct CommonOptions {
    SearchOptions search;
    QString logFile;
    QString captureFile; // --pcap
    Format format = Format::Text;
};

// 'set' and 'apply'.
struct SendOptions {
    bool force = false;
    bool dryRun = false;
    int verifyTimeoutMs = DefaultVerifyMs;
};

struct OptionSpec {
    const char *name;
    bool takesValue;
    std::function<void(const QString &)> apply;
    bool repeatable = false;
};

// The options of every command, writing into `o`; the help text that lists them.
QList<OptionSpec> commonOptions(CommonOptions &o);
extern const char *const CommonHelp;
OptionSpec jsonOption(CommonOptions &o);
OptionSpec modelOption(CommonOptions &o);
OptionSpec settleOption(CommonOptions &o); // find, show, watch and doctor
extern const char *const SettleHelp;
QList<OptionSpec> sendOptions(SendOptions &o);

// Said after "not found": 'doctor' tells why.
extern const char *const DoctorHint;

// The one positional argument of 'show' and 'set'.
QByteArray serialArgument(const QString &command, const QStringList &positional);

// Parses the arguments after the command word against `table` and returns
// the others (the positional arguments). `elsewhere` holds the options of the
// other commands, for the error that names one given to the wrong command.
// Throws UsageError.
QStringList parseOptions(const QString &command, const QList<OptionSpec> &table,
                         const QStringList &elsewhere, const QStringList &args);

} // namespace Cli
