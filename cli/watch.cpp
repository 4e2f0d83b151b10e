// SPDX-License-Identifier: MIT
//
// 'vantrel-cli watch': a search every --interval, and one line per change.
#include "columns.h"
#include "command.h"
#include "format.h"

#include <QDateTime>
#include <QJsonDocument>

using namespace Discovery;

namespace Cli {

namespace {

constexpr int DefaultIntervalMs = 3000;
constexpr int DefaultMissed = 2;
constexpr int PortRetryMs = 250; // while another program holds the reply port

const char *const WatchHelp = R"(Usage: vantrel-cli watch [OPTION]...
Searches every --interval milliseconds and prints one line per change, with
the UTC time: appeared (first heard), changed (naming each field that
changed), gone (not heard in --missed searches in a row) and back (heard
again after gone). A receiver that answers twice in one search is one
receiver. The fields compared:
{watched}
)";

const char *const WatchTail = R"(
Exit status: 0 after --count searches or on SIGINT or SIGTERM (also while its
output is blocked), 1 usage error, 5 output failed, 6 the network cannot be
used.
)";

struct WatchOptions : CommonOptions {
    int intervalMs = DefaultIntervalMs;
    int missed = DefaultMissed;
    int count = 0; // 0: until SIGINT or SIGTERM
};

QList<OptionGroup> table(WatchOptions &o)
{
    return {
        {QStringLiteral("Options:"),
         {{QStringLiteral("--interval"), 0, QStringLiteral("MS"),
           QStringLiteral("time from one search to the next (at least the --timeout, at most "
                          "600000, default 3000)"),
           [&o](const QString &v) { o.intervalMs = duration(QStringLiteral("--interval"), v); }},
          {QStringLiteral("--missed"), 0, QStringLiteral("N"),
           QStringLiteral("searches without an answer before a receiver is gone (1 to 1000, "
                          "default 2)"),
           [&o](const QString &v) { o.missed = number(QStringLiteral("--missed"), v, 1, 1000); }},
          {QStringLiteral("--count"), 0, QStringLiteral("K"),
           QStringLiteral("stop after K searches (1 to 1000000); without it, run until SIGINT "
                          "or SIGTERM"),
           [&o](const QString &v) { o.count = number(QStringLiteral("--count"), v, 1, 1000000); }},
          jsonOption(o, QStringLiteral("one JSON object per line: time, event, serial, model, "
                                       "ip, port, inUse, interface, source, changes (each with "
                                       "setting, from and "
                                       "to; the settings named and typed as in 'show "
                                       "--json')")),
          modelOption(o),
          settleOption(o)}},
        searchOptions(o)};
}

void check(WatchOptions &o, const QStringList &positional)
{
    noArguments(QStringLiteral("watch"), positional);
    if (o.intervalMs < o.search.timeoutMs)
        fail(QStringLiteral("watch: --interval %1 is shorter than the search window of %2 ms "
                            "(--timeout)")
                 .arg(QString::number(o.intervalMs), QString::number(o.search.timeoutMs)));
}

class Watch : public Command {
public:
    Watch(const WatchOptions &o, Output &out) : Command(o, out), m_watch(o)
    {
        m_next.setSingleShot(true);
        m_next.setTimerType(Qt::PreciseTimer);
        connect(&m_next, &QTimer::timeout, this, &Watch::nextSearch);
        m_clock.start();
    }

private:
    bool beforeSearch() override
    {
        // SIGINT and SIGTERM end the run with status 0, even while a write blocks.
        m_out.catchStop(
            this, [this] { finish(ExitOk); }, ExitOk, true);
        return true;
    }
    void received(const Receiver &r, int index, bool isNew, bool newIdentity) override;
    void windowEnded() override;
    void report(const QString &event, const Receiver &r, const QList<Change> &changes = {});
    bool makeRoom();
    void nextSearch();

    WatchOptions m_watch;
    QTimer m_next;
    QElapsedTimer m_clock; // since the search began
    int m_searches = 0;

    // What each serial last reported, unit by unit, and for how many searches
    // it has not answered. Bounded: a network that sends ever new serial
    // numbers makes it forget those gone first, then ignore new ones.
    struct Watched {
        QList<Receiver> units; // more than one when several answer with the serial
        int missed = 0;
        bool gone = false;
        bool twice = false; // reported as a duplicate serial number
    };
    static constexpr int MaxWatched = ReceiverList::MaxReceivers;
    QHash<QByteArray, Watched> m_watched;
    QList<QByteArray> m_order;     // not gone, first heard first, for stable output
    QList<QByteArray> m_goneOrder; // gone, the first to forget first
    bool m_full = false;
    bool m_waitingForPort = false;
    QString m_lastError; // of the last look at the interfaces
};

// The reply port is held only while a search is open, as the window does, so
// that find, set, doctor and the window work between searches.
void Watch::nextSearch()
{
    QString why;
    if (!m_exchange.open(&why)) {
        if (!m_waitingForPort)
            m_out.note(QStringLiteral("warning: cannot listen for replies on UDP %1: %2; the "
                                      "next search waits for it")
                           .arg(QString::number(ReplyPort), why));
        m_waitingForPort = true;
        m_next.start(PortRetryMs);
        return;
    }
    m_waitingForPort = false;
    m_clock.start();
    // Adapters come and go between searches; one plugged in again has a new index.
    QStringList before;
    for (const Destination &d : m_search.destinations())
        if (d.interfaceIndex > 0 && !before.contains(d.interfaceName))
            before << d.interfaceName;
    const QString error = m_search.prepare();
    if (!error.isEmpty() && error != m_lastError)
        m_out.note(QStringLiteral("warning: ") + error);
    m_lastError = error;
    for (const Destination &d : m_search.destinations())
        before.removeAll(d.interfaceName);
    for (const QString &gone : std::as_const(before))
        m_out.note(QStringLiteral("warning: interface %1 is gone or down; not searched until it "
                                  "is back")
                       .arg(quoted(gone)));
    beginSearch();
}

bool Watch::makeRoom()
{
    while (m_watched.size() >= MaxWatched && !m_goneOrder.isEmpty())
        m_watched.remove(m_goneOrder.takeFirst());
    if (m_watched.size() < MaxWatched)
        return true;
    if (!m_full)
        m_out.note(QStringLiteral("warning: more than %1 receivers answer; the others are not "
                                  "watched")
                       .arg(MaxWatched));
    m_full = true;
    return false;
}

void Watch::received(const Receiver &r, int, bool, bool)
{
    const QByteArray serial = r.serial();
    auto known = m_watched.find(serial);
    if (known == m_watched.end()) {
        if (!makeRoom())
            return;
        m_watched.insert(serial, Watched{{r}, 0, false, false});
        m_order << serial;
        report(QStringLiteral("appeared"), r);
        return;
    }
    Watched &w = *known;
    const bool back = w.gone;
    w.missed = 0;
    if (back) {
        w.gone = false;
        m_goneOrder.removeOne(serial);
        m_order << serial;
    }
    // The unit this reply comes from: the one with its identity, or the only
    // one, which then moved. Another unit with the same serial number is a
    // duplicate, reported once, not a change back and forth on every search.
    const Identity id = identityOf(r);
    auto unit = std::find_if(w.units.begin(), w.units.end(),
                             [&](const Receiver &u) { return identityOf(u) == id; });
    if (unit == w.units.end() && (w.units.size() > 1 || m_search.heard().duplicateSerial(serial))) {
        if (w.units.size() < ReceiverList::MaxAddressesPerSerial)
            w.units << r;
        if (!w.twice || back)
            report(back ? QStringLiteral("back") : QStringLiteral("duplicate"), r);
        w.twice = true;
        return;
    }
    Receiver &last = unit == w.units.end() ? w.units.first() : *unit;
    const QList<Change> changes = changesBetween(watchedFields(last), watchedFields(r));
    last = r;
    if (back)
        report(QStringLiteral("back"), r, changes);
    else if (!changes.isEmpty())
        report(QStringLiteral("changed"), r, changes);
}

void Watch::windowEnded()
{
    // Only the serials still watched: a search's work stays with what answers.
    QList<QByteArray> still;
    for (const QByteArray &serial : std::as_const(m_order)) {
        Watched &w = m_watched[serial];
        if (m_search.heard().find(serial) || ++w.missed < m_watch.missed) {
            still << serial;
            continue;
        }
        w.gone = true;
        m_goneOrder << serial;
        report(QStringLiteral("gone"), w.units.constFirst());
    }
    m_order = still;
    if (done())
        return; // an event could not be written
    ++m_searches;
    if (m_watch.count && m_searches >= m_watch.count) {
        finish(ExitOk);
        return;
    }
    progressStopped();
    m_exchange.close();
    m_next.start(int(std::max<qint64>(0, m_watch.intervalMs - m_clock.elapsed())));
}

void Watch::report(const QString &event, const Receiver &r, const QList<Change> &changes)
{
    const QString time = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
    if (m_options.format == Format::Json) {
        QJsonObject o =
            fieldsJson(r, FindNotes(),
                       {QStringLiteral("serial"), QStringLiteral("model"), QStringLiteral("ip"),
                        QStringLiteral("port"), QStringLiteral("inUse"),
                        QStringLiteral("interface"), QStringLiteral("source")});
        o[QStringLiteral("time")] = time;
        o[QStringLiteral("event")] = event;
        o[QStringLiteral("changes")] = changesJson(changes);
        m_out.data(QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact)) +
                   QLatin1Char('\n'));
        return;
    }
    QString line =
        QStringList{time, event, displayText(r.serial()), displayText(fieldText(r.head.deviceName)),
                    quadString(r.ip()) + QLatin1Char(':') + QString::number(u16(r.head.tcpPort))}
            .join(QLatin1Char(' '));
    if (!r.interfaceName.isEmpty())
        line += QStringLiteral(" on ") + quoted(r.interfaceName);
    if (r.inUse)
        line += QStringLiteral(" in use");
    if (!changes.isEmpty())
        line += QStringLiteral(": ") + changesText(changes);
    m_out.data(line + QLatin1Char('\n'));
}

} // namespace

const CommandSpec &watchCommand()
{
    static const CommandSpec spec =
        command<Watch>("watch", "", "search again and again and report each change as it happens",
                       WatchHelp, WatchTail, table, check);
    return spec;
}

} // namespace Cli
