// SPDX-License-Identifier: MIT
//
// One run of vantrel-cli: a search (find, show, set), the configuration send
// and the verifying search of 'set', the progress line and the output. All
// steps are driven by one event loop through timers and the socket's
// notifications.
#pragma once

#include "checks.h"
#include "exchange.h"
#include "options.h"

#include <QElapsedTimer>
#include <QObject>
#include <QSet>
#include <QTimer>

#include <functional>

namespace Cli {

// Requests in a verifying search: a receiver may restart after taking new settings.
constexpr int VerifyResendMs = 500;

class Tool : public QObject {
    Q_OBJECT
public:
    explicit Tool(const Options &options, QObject *parent = nullptr);
    // Prepares everything that can fail before sending; then starts the search.
    // Returns an exit code when the run ends before the event loop is needed.
    std::optional<int> start();

private slots:
    void onReply(const Cli::Receiver &r);
    void onDeadline();
    void onRetry();
    void onProgress();
    void nextWatchSearch();

private:
    enum class Phase { Search, Probe, Verify, Done };

    void beginSearch(int windowMs, int resendEveryMs);
    int sendRequests(bool reportFailures); // returns how many went out
    void finish(int code);
    void finishFind();
    void finishSet();
    void sendConfig();
    // The message built from `target`'s own reply, out where it answered
    // (by unicast when it is routed). False, with the reason said, if not.
    bool sendRecord(const Receiver &target, const DeviceConfigRecord &planned);
    void judgeVerify(bool final);
    // The end of 'set': with --json its outcome as one object on standard output.
    void setDone(int code, const QString &verdict, const QString &detail = QString());
    QStringList m_setRefusals, m_setWarnings;
    // 'apply'
    void finishApply();
    void judgeApply(bool final);
    void printApply(bool outcomes);
    // The table on standard output; after messages went out, on stderr if that fails.
    void report(const QString &table, bool outcomes);
    // Standard output; a failed write is reported once and ends the run,
    // unless a configuration message went out already.
    bool out(const QString &text);
    void err(const QString &text);
    void writeFailed(const QString &message);
    // The outcome of 'set': on standard output, or on stderr when that fails.
    void outcome(const QString &line);
    FindNotes notes(int index) const;
    // `forAdvice`: also weigh the other receivers' addresses for a fix.
    Reach reach(const Receiver &r, bool forAdvice = false) const;
    // With --to, a reply from outside its interface's subnets came from a
    // receiver with a wrong address on that wire or through a router. A
    // broadcast-only request on those interfaces tells which: only the first
    // can answer it. Returns false when there is nothing to tell; otherwise
    // `then` runs when the probe is over.
    bool probe(const QList<QByteArray> &serials, std::function<void()> then);
    void endProbe();
    bool undecided(const Receiver &r) const;
    void showFound(const QByteArray &serial);
    bool wanted(const Receiver &r) const; // --model
    void clearProgress();
    // 'watch'
    void watchReply(const Receiver &r);
    void endWatchSearch();
    void watchEvent(const QString &event, const Receiver &r,
                    const QList<QPair<QString, QPair<QString, QString>>> &changes = {});

    Options m_options;
    Log m_log;
    Exchange m_exchange;
    QList<Destination> m_destinations;
    QList<LocalSubnet> m_local;      // without loopback, for the checks of 'set'
    QList<LocalSubnet> m_interfaces; // with it, to judge where replies came from
    ReceiverList m_heard;
    Phase m_phase = Phase::Search;
    bool m_probed = false;
    QSet<QByteArray> m_onSegment;    // answered a broadcast-only request
    QSet<QByteArray> m_probeWaiting; // not yet
    std::function<void()> m_afterProbe;
    QList<int> m_deferredRows; // find's rows that wait for the probe
    mutable QHash<quint32, bool> m_ownAddresses;
    bool m_interrupted = false;  // Ctrl-C ended find's search
    QSet<QByteArray> m_filtered; // serials that --model left out
    QStringList m_modelsHeard;   // the models they have
    QTimer m_deadline;
    QTimer m_retry;
    QTimer m_progress;
    QElapsedTimer m_clock;
    int m_windowMs = 0;
    int m_retriesLeft = 0;
    bool m_terminal = false;
    bool m_progressShown = false;
    bool m_outputFailed = false;
    bool m_sent = false; // the configuration message went out
    int m_exitCode = 0;

    // 'set'
    Receiver m_target;
    DeviceConfigRecord m_planned{};
    std::optional<Receiver> m_seenAfter;
    // Every unit that answered the verifying search, by serial, one per
    // identity: two units with one serial must agree before it is confirmed.
    struct VerifyUnit {
        Receiver last;
        int firstSeen = 0, lastSeen = 0; // in the order replies came
    };
    QHash<QByteArray, QList<VerifyUnit>> m_verifyUnits;
    int m_verifyReplies = 0;
    void noteUnit(const Receiver &r);
    // Empty when the units agree; else which of them have the settings and which not.
    QString contradiction(const Receiver &target, const DeviceConfigRecord &planned,
                          const Discovery::NetworkEdits &edits) const;
    // The units heard since the message, without the target's former self.
    QList<Receiver> unitsAfter(const Receiver &target) const;
    // Whether a verdict must wait for the whole window: more than one unit
    // answered with this serial in the search or since.
    bool several(const Receiver &target, int unitsInSearch) const;
    int m_targetUnits = 1; // units of the target in the search

    // 'watch': what each serial last reported, unit by unit, and for how many
    // searches it has not answered. Bounded: a network that sends ever new
    // serial numbers makes it forget those gone first, then ignore new ones.
    struct Watched {
        QList<Receiver> units; // more than one when several answer with the serial
        int missed = 0;
        bool gone = false;
        bool twice = false; // reported as a duplicate serial number
    };
    static constexpr int MaxWatched = ReceiverList::MaxReceivers;
    bool makeRoom();
    QHash<QByteArray, Watched> m_watched;
    QList<QByteArray> m_watchOrder; // not gone, first heard first, for stable output
    QList<QByteArray> m_goneOrder;  // gone, the first to forget first
    bool m_watchFull = false;
    int m_searches = 0;
    QTimer m_nextSearch;

    // 'apply': each plan row with its receiver, checks and outcome.
    struct Row {
        PlanRow plan;
        std::optional<Receiver> target;
        DeviceConfigRecord planned{};
        bool changes = false;
        QStringList blockers, refusals, warnings;
        QString verdict; // not found, unchanged, refused, send
        bool sent = false;
        int units = 1; // of its serial in the search
        QString outcome, detail;
    };
    QList<Row> m_rows;
};

// Set by prepareProcess(): standard output was closed when the program started.
extern bool g_stdoutClosed;

// Before anything else in main: SIGPIPE and closed standard streams.
void prepareProcess();

// Parses the arguments, runs the command and returns the exit code.
int run(const QStringList &args);

} // namespace Cli
