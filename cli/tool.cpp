// SPDX-License-Identifier: MIT
#include "tool.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkInterface>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#ifdef Q_OS_WIN
#include <io.h>
#define isatty _isatty
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>
#endif

using namespace Discovery;

namespace Cli {

namespace {

constexpr int ProgressMs = 100;

// Read by the signal handler: whether a progress line is on the terminal,
// and whether the program is inside a write to standard output.
volatile std::sig_atomic_t g_progressShown = 0;
volatile std::sig_atomic_t g_writing = 0;
volatile std::sig_atomic_t g_stopRequested = 0;
int g_stopStatus = 0; // the status a run that the signal ends in a write has

// 'watch' ends on SIGINT and SIGTERM with status 0: the handler only writes
// to this pipe, and the event loop ends the run.
int g_stopPipe[2] = {-1, -1};

#ifndef Q_OS_WIN
// Ctrl-C while the progress line shows: clear it, then end as the signal would.
void onInterrupt(int sig)
{
    if (g_stopPipe[1] >= 0) {
        // A reader that takes nothing holds the write for ever, and the event
        // loop never sees the pipe: the run ends here, as it would there.
        if (g_writing)
            _exit(g_stopStatus);
        g_stopRequested = 1;
        [[maybe_unused]] const ssize_t n = write(g_stopPipe[1], "x", 1);
        return;
    }
    if (g_progressShown) {
        static const char clear[] = "\r\x1b[K";
        [[maybe_unused]] const ssize_t n = write(STDERR_FILENO, clear, sizeof clear - 1);
    }
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}
#endif

struct Setup {
    QList<Destination> destinations;
    QString error; // a bad --interface
};

Setup destinations(const SearchOptions &s)
{
    Setup setup;
    QList<QNetworkInterface> interfaces;
    if (!s.interfaceName.isEmpty()) {
        const QNetworkInterface named = QNetworkInterface::interfaceFromName(s.interfaceName);
        if (!named.isValid()) {
            QStringList names;
            for (const QNetworkInterface &i : QNetworkInterface::allInterfaces())
                names << i.name();
            setup.error = QStringLiteral("--interface: no interface '%1' on this computer "
                                         "(expected one of: %2)")
                              .arg(s.interfaceName, names.join(QStringLiteral(", ")));
            return setup;
        }
        if (!(named.flags() & QNetworkInterface::IsUp)) {
            setup.error = QStringLiteral("--interface: %1 is down").arg(s.interfaceName);
            return setup;
        }
        interfaces << named;
    } else {
        interfaces = QNetworkInterface::allInterfaces();
    }
    for (const QNetworkInterface &i : interfaces) {
        if (!(i.flags() & QNetworkInterface::IsUp))
            continue;
        for (const QNetworkAddressEntry &e : i.addressEntries()) {
            if (e.ip().protocol() != QAbstractSocket::IPv4Protocol || e.broadcast().isNull())
                continue;
            const Destination d{e.broadcast(), i.index(), i.name()};
            const bool known = std::any_of(
                setup.destinations.begin(), setup.destinations.end(), [&](const Destination &o) {
                    return o.address == d.address && o.interfaceIndex == d.interfaceIndex;
                });
            if (!known)
                setup.destinations << d;
        }
    }
    // Through the routing table: no interface is named, so a router is reached.
    for (const Quad &q : s.to) {
        const Destination d{QHostAddress(toU32(q)), 0, QString()};
        const bool known = std::any_of(
            setup.destinations.begin(), setup.destinations.end(),
            [&](const Destination &o) { return o.address == d.address && o.interfaceIndex == 0; });
        if (!known)
            setup.destinations << d;
    }
    if (s.alsoLimited) {
        const bool one = !s.interfaceName.isEmpty();
        setup.destinations << Destination{QHostAddress(QHostAddress::Broadcast),
                                          one ? interfaces.first().index() : 0,
                                          one ? interfaces.first().name() : QString()};
    }
    if (!s.interfaceName.isEmpty() && setup.destinations.size() == s.to.size())
        setup.error = QStringLiteral("--interface: %1 has no IPv4 broadcast address (expected "
                                     "an interface with an IPv4 address, or --also-limited)")
                          .arg(s.interfaceName);
    return setup;
}

// The gateway of the default route through each interface, by index.
QHash<int, quint32> defaultGateways()
{
    QHash<int, quint32> gateways;
#ifdef Q_OS_LINUX
    QFile table(QStringLiteral("/proc/net/route"));
    if (!table.open(QIODevice::ReadOnly))
        return gateways;
    // "Iface Destination Gateway Flags ...": addresses as the kernel holds them, in hex.
    const QList<QByteArray> lines = table.readAll().split('\n');
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QList<QByteArray> f = lines[i].simplified().split(' ');
        bool ok = false;
        const quint32 gateway = f.size() > 7 ? f[2].toUInt(&ok, 16) : 0;
        if (ok && gateway && f[1] == "00000000" && f[7] == "00000000")
            gateways.insert(QNetworkInterface::interfaceIndexFromName(QString::fromLatin1(f[0])),
                            ntohl(gateway));
    }
#endif
    return gateways;
}

QList<LocalSubnet> localSubnets(bool withLoopback)
{
    const QHash<int, quint32> gateways = defaultGateways();
    QList<LocalSubnet> subnets;
    for (const QNetworkInterface &i : QNetworkInterface::allInterfaces()) {
        const bool loopback = i.flags() & QNetworkInterface::IsLoopBack;
        if (!(i.flags() & QNetworkInterface::IsUp) || (loopback && !withLoopback))
            continue;
        for (const QNetworkAddressEntry &e : i.addressEntries())
            if (e.ip().protocol() == QAbstractSocket::IPv4Protocol)
                subnets << LocalSubnet{e.ip().toIPv4Address(),
                                       e.netmask().toIPv4Address(),
                                       i.name(),
                                       i.index(),
                                       loopback,
                                       gateways.value(i.index())};
    }
    return subnets;
}

// An address this computer holds, as an address entry or a local route: it
// can bind a socket to it.
QList<QByteArray> serialsHeard(const ReceiverList &heard)
{
    QList<QByteArray> serials;
    for (const Receiver &r : heard.all())
        serials << r.serial();
    return serials;
}

bool isOwnAddress(quint32 ip)
{
    if (ip == 0 || ip == 0xFFFFFFFFu || (ip >> 28) == 0xE)
        return false;
    QUdpSocket probe;
    return probe.bind(QHostAddress(ip), 0);
}

} // namespace

bool g_stdoutClosed = false;

Tool::Tool(const Options &options, QObject *parent)
    : QObject(parent), m_options(options), m_exchange(m_log)
{
    connect(&m_exchange, &Exchange::replyReceived, this, &Tool::onReply);
    m_deadline.setSingleShot(true);
    m_deadline.setTimerType(Qt::PreciseTimer);
    connect(&m_deadline, &QTimer::timeout, this, &Tool::onDeadline);
    m_retry.setTimerType(Qt::PreciseTimer);
    connect(&m_retry, &QTimer::timeout, this, &Tool::onRetry);
    m_nextSearch.setSingleShot(true);
    m_nextSearch.setTimerType(Qt::PreciseTimer);
    connect(&m_nextSearch, &QTimer::timeout, this, &Tool::nextWatchSearch);
    m_progress.setInterval(ProgressMs);
    connect(&m_progress, &QTimer::timeout, this, &Tool::onProgress);
    // The progress line would end up inside redirected output or a log.
    m_terminal = !g_stdoutClosed && isatty(1) && isatty(2);
    m_log.onFailure = [this](const QString &reason) {
        writeFailed(QStringLiteral("--log: cannot write '%1': %2").arg(m_options.logFile, reason));
    };
}

std::optional<int> Tool::start()
{
    const Setup setup = destinations(m_options.search);
    if (!setup.error.isEmpty()) {
        err(setup.error);
        return ExitUsage;
    }
    m_destinations = setup.destinations;
    QString error;
    if (!m_options.logFile.isEmpty() && !m_log.open(m_options.logFile, &error)) {
        err(QStringLiteral("--log: cannot write '%1': %2").arg(m_options.logFile, error));
        return ExitUsage;
    }
    m_log.line(QStringLiteral("start ") + QCoreApplication::arguments().join(QLatin1Char(' ')));
    if (m_phase == Phase::Done)
        return m_exitCode;
    if (m_destinations.isEmpty()) {
        err(QStringLiteral("no interface that is up has an IPv4 broadcast address, so there is "
                           "nowhere to send the request (expected a configured IPv4 interface, "
                           "or --also-limited)"));
        return ExitNetwork;
    }
    if (!m_exchange.open(&error)) {
        err(QStringLiteral("cannot listen for replies on UDP port %1: %2")
                .arg(QString::number(ReplyPort), error));
        return ExitNetwork;
    }
    m_local = localSubnets(false);
    m_interfaces = localSubnets(true);
#ifndef Q_OS_WIN
    // Ctrl-C ends watch with status 0, and find after writing what it found.
    const bool stoppable =
        m_options.command == Command::Watch || m_options.command == Command::Find;
    if (stoppable && pipe(g_stopPipe) == 0) {
        fcntl(g_stopPipe[0], F_SETFD, FD_CLOEXEC);
        fcntl(g_stopPipe[1], F_SETFD, FD_CLOEXEC);
        g_stopStatus = m_options.command == Command::Watch ? ExitOk : ExitInterrupted;
        auto *stop = new QSocketNotifier(g_stopPipe[0], QSocketNotifier::Read, this);
        connect(stop, &QSocketNotifier::activated, this, [this] {
            if (m_options.command == Command::Watch) {
                finish(ExitOk);
                return;
            }
            m_interrupted = true;
            finishFind();
        });
    }
#endif
    if (m_options.command == Command::Find && m_options.format == Format::Text &&
        !out(textHeader() + QLatin1Char('\n')))
        return m_exitCode;

    m_phase = Phase::Search;
    m_retriesLeft = m_options.search.retries;
    const int every = m_retriesLeft ? m_options.search.timeoutMs / (m_retriesLeft + 1) : 0;
    beginSearch(m_options.search.timeoutMs, every);
    if (sendRequests(true) == 0) {
        err(QStringLiteral("no request could be sent, so no receiver can answer"));
        return ExitNetwork;
    }
    return std::nullopt;
}

void Tool::beginSearch(int windowMs, int resendEveryMs)
{
    m_heard = ReceiverList();
    m_windowMs = windowMs;
    m_clock.start();
    m_deadline.start(windowMs);
    m_retry.stop();
    if (resendEveryMs > 0)
        m_retry.start(std::max(1, resendEveryMs));
    if (m_terminal) {
        m_progress.start();
        onProgress();
    }
}

int Tool::sendRequests(bool reportFailures)
{
    const auto request = discoverRequest();
    const QByteArray bytes(reinterpret_cast<const char *>(request.data()), int(request.size()));
    int sent = 0;
    QString error;
    for (const Destination &d : m_destinations) {
        if (m_exchange.send(bytes, d, &error))
            ++sent;
        else if (reportFailures)
            err(QStringLiteral("warning: cannot send the request to %1%2: %3")
                    .arg(d.address.toString(),
                         d.interfaceName.isEmpty() ? QString()
                                                   : QStringLiteral(" on ") + d.interfaceName,
                         error));
    }
    return sent;
}

void Tool::onRetry()
{
    if (m_phase == Phase::Search && m_retriesLeft-- <= 0) {
        m_retry.stop();
        return;
    }
    sendRequests(false);
}

void Tool::onReply(const Receiver &r)
{
    const bool target = r.serial() == m_options.serial;
    if (!wanted(r)) {
        // For a message that says what did answer, within bounds.
        if (m_filtered.size() < ReceiverList::MaxReceivers)
            m_filtered.insert(r.serial());
        const QString model = displayText(fieldText(r.head.deviceName));
        if (m_modelsHeard.size() < 16 && !m_modelsHeard.contains(model))
            m_modelsHeard << model;
        return;
    }
    if (m_options.command == Command::Watch) {
        if (m_phase == Phase::Search)
            watchReply(r);
        return;
    }
    switch (m_phase) {
    case Phase::Search: {
        bool isNew = false, newIdentity = false;
        const int index = m_heard.add(r, &isNew, &newIdentity);
        if (index < 0)
            break;
        if (m_options.command == Command::Find) {
            // A known serial answering as another unit gets a row of its own;
            // one whose place the probe decides waits for it.
            if ((isNew || newIdentity) && m_options.format == Format::Text) {
                if (undecided(r))
                    m_deferredRows << index;
                else if (!out(textRow(r, notes(index)) + QLatin1Char('\n')))
                    break;
            }
            if (m_options.search.expect && m_heard.all().size() >= m_options.search.expect &&
                !probe(serialsHeard(m_heard), [this] { finishFind(); }))
                finishFind();
        } else if (m_options.command == Command::Show && target) {
            const QByteArray serial = r.serial();
            if (!probe({serial}, [this, serial] { showFound(serial); }))
                showFound(serial);
        }
        break;
    }
    case Phase::Probe:
        m_heard.add(r);
        if (m_probeWaiting.remove(r.serial()))
            m_onSegment.insert(r.serial());
        if (m_probeWaiting.isEmpty())
            endProbe();
        break;
    case Phase::Verify:
        if (m_options.command == Command::Apply) {
            m_heard.add(r);
            noteUnit(r);
            judgeApply(false);
        } else if (target) {
            m_seenAfter = r;
            noteUnit(r);
            judgeVerify(false);
        }
        break;
    case Phase::Done:
        break;
    }
}

void Tool::showFound(const QByteArray &serial)
{
    const Receiver &r = *m_heard.find(serial);
    const Reach where = reach(r, true);
    const bool written = out(
        m_options.format == Format::Json
            ? QString::fromUtf8(QJsonDocument(showJson(r, where)).toJson(QJsonDocument::Indented))
            : showText(r, where));
    if (written)
        finish(ExitOk);
}

void Tool::onDeadline()
{
    if (m_phase == Phase::Probe) {
        endProbe();
        return;
    }
    const Command c = m_options.command;
    if (m_phase == Phase::Search && (c == Command::Find || c == Command::Apply) &&
        probe(serialsHeard(m_heard), [this] { onDeadline(); }))
        return;
    if (m_phase == Phase::Search && c == Command::Set &&
        probe({m_options.serial}, [this] { onDeadline(); }))
        return;
    if (m_phase == Phase::Verify) {
        if (m_options.command == Command::Apply)
            judgeApply(true);
        else
            judgeVerify(true);
        return;
    }
    switch (m_options.command) {
    case Command::Find:
        finishFind();
        break;
    case Command::Watch:
        endWatchSearch();
        break;
    case Command::Apply:
        finishApply();
        break;
    case Command::Show:
        err(QStringLiteral("receiver %1 did not answer within %2 ms")
                .arg(QString::fromLatin1(m_options.serial),
                     QString::number(m_options.search.timeoutMs)));
        finish(ExitNotFound);
        break;
    case Command::Set:
        finishSet();
        break;
    case Command::None:
        break;
    }
}

void Tool::onProgress()
{
    const qint64 left = std::max<qint64>(0, m_windowMs - m_clock.elapsed());
    const QString seconds = QString::number(double(left) / 1000.0, 'f', 1);
    const QString text = m_phase == Phase::Verify
                             ? QStringLiteral("checking %1: %2 s left")
                                   .arg(QString::fromLatin1(m_options.serial), seconds)
                             : QStringLiteral("searching: %1 s left, %2 found")
                                   .arg(seconds)
                                   .arg(m_heard.all().size());
    // Marked first: a Ctrl-C while the line is being written must clear it too.
    m_progressShown = true;
    g_progressShown = 1;
    std::fprintf(stderr, "\r%s\x1b[K", text.toUtf8().constData());
    std::fflush(stderr);
}

void Tool::clearProgress()
{
    if (!m_progressShown)
        return;
    g_progressShown = 0;
    std::fputs("\r\x1b[K", stderr);
    std::fflush(stderr);
    m_progressShown = false;
}

bool Tool::out(const QString &text)
{
    if (m_outputFailed)
        return false;
    clearProgress();
    const QByteArray bytes = text.toUtf8();
    errno = 0;
    g_writing = 1;
    // A signal that came between two of watch's writes would otherwise wait
    // behind this one for ever; find still writes what it found.
    if (g_stopRequested && m_options.command == Command::Watch)
        _exit(ExitOk);
    const bool ok = !g_stdoutClosed &&
                    std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), stdout) ==
                        std::size_t(bytes.size()) &&
                    std::fflush(stdout) == 0;
    g_writing = 0;
    // A reader that has had enough ('find | head -1') ends the run quietly, as
    // SIGPIPE would; once a configuration message is out, its outcome counts.
    if (!ok && errno == EPIPE && !m_sent) {
        std::signal(SIGPIPE, SIG_DFL);
        std::raise(SIGPIPE);
    }
    if (!ok)
        writeFailed(QStringLiteral("cannot write to standard output: %1")
                        .arg(g_stdoutClosed ? QStringLiteral("it is closed")
                                            : QString::fromLocal8Bit(std::strerror(errno))));
    return ok;
}

void Tool::writeFailed(const QString &message)
{
    if (m_outputFailed)
        return;
    m_outputFailed = true;
    err(message);
    // Once a configuration message is out, the outcome still decides the
    // exit status; before, nothing more is done.
    if (!m_sent)
        finish(ExitOutput);
}

void Tool::outcome(const QString &line)
{
    // With --json the document says it; the line is for the person.
    if (m_options.format == Format::Json || !out(line + QLatin1Char('\n')))
        err(line);
}

FindNotes Tool::notes(int index) const
{
    const Receiver &r = m_heard.all().at(index);
    return FindNotes{m_heard.conflicts(index), m_heard.duplicateSerial(r.serial()), reach(r)};
}

Reach Tool::reach(const Receiver &r, bool forAdvice) const
{
    Surroundings around;
    around.subnets = m_interfaces;
    around.viaBroadcast = m_options.search.to.isEmpty() || m_onSegment.contains(r.serial());
    around.isOwnAddress = [this](quint32 ip) {
        auto own = m_ownAddresses.find(ip);
        if (own == m_ownAddresses.end())
            own = m_ownAddresses.insert(ip, isOwnAddress(ip));
        return *own;
    };
    if (forAdvice)
        for (const Receiver &other : m_heard.all())
            around.taken << toU32(other.ip());
    return reachOf(r, m_heard.arrivals(r.serial()), around);
}

bool Tool::undecided(const Receiver &r) const
{
    return !m_options.search.to.isEmpty() && !m_onSegment.contains(r.serial()) &&
           answeredFromOutside(m_heard.arrivals(r.serial()), m_interfaces);
}

bool Tool::probe(const QList<QByteArray> &serials, std::function<void()> then)
{
    if (m_probed || m_options.search.to.isEmpty())
        return false;
    m_probed = true;
    QSet<int> interfaces;
    for (const QByteArray &serial : serials) {
        const Receiver *r = m_heard.find(serial);
        if (!r || !undecided(*r))
            continue;
        m_probeWaiting.insert(serial);
        for (const ReceiverList::Arrival &a : m_heard.arrivals(serial))
            interfaces.insert(a.interfaceIndex);
    }
    const auto request = discoverRequest();
    const QByteArray bytes(reinterpret_cast<const char *>(request.data()), int(request.size()));
    int sent = 0;
    for (const Destination &d : std::as_const(m_destinations))
        if (!m_probeWaiting.isEmpty() && d.interfaceIndex > 0 &&
            interfaces.contains(d.interfaceIndex) && m_exchange.send(bytes, d, nullptr))
            ++sent;
    if (sent == 0) {
        m_probeWaiting.clear();
        return false;
    }
    m_phase = Phase::Probe;
    m_afterProbe = std::move(then);
    m_retry.stop();
    // Over as soon as every one has answered; one behind a router never does.
    m_deadline.start(m_options.search.timeoutMs);
    return true;
}

void Tool::endProbe()
{
    m_deadline.stop();
    m_probeWaiting.clear();
    m_phase = Phase::Search;
    const std::function<void()> then = std::move(m_afterProbe);
    m_afterProbe = nullptr;
    then();
}

bool Tool::wanted(const Receiver &r) const
{
    return m_options.models.isEmpty() ||
           m_options.models.contains(QString::fromLatin1(fieldText(r.head.deviceName).c_str()));
}

bool Tool::makeRoom()
{
    while (m_watched.size() >= MaxWatched && !m_goneOrder.isEmpty())
        m_watched.remove(m_goneOrder.takeFirst());
    if (m_watched.size() < MaxWatched)
        return true;
    if (!m_watchFull)
        err(QStringLiteral("warning: more than %1 receivers answer; the others are not watched")
                .arg(MaxWatched));
    m_watchFull = true;
    return false;
}

void Tool::watchReply(const Receiver &r)
{
    bool isNew = false;
    if (m_heard.add(r, &isNew) < 0)
        return;
    const QByteArray serial = r.serial();
    auto known = m_watched.find(serial);
    if (known == m_watched.end()) {
        if (!makeRoom())
            return;
        m_watched.insert(serial, Watched{{r}, 0, false, false});
        m_watchOrder << serial;
        watchEvent(QStringLiteral("appeared"), r);
        return;
    }
    Watched &w = *known;
    const bool back = w.gone;
    w.missed = 0;
    if (back) {
        w.gone = false;
        m_goneOrder.removeOne(serial);
        m_watchOrder << serial;
    }
    // The unit this reply comes from: the one with its identity, or the only
    // one, which then moved. Another unit with the same serial number is a
    // duplicate, reported once, not a change back and forth on every search.
    const Identity id = identityOf(r);
    auto unit = std::find_if(w.units.begin(), w.units.end(),
                             [&](const Receiver &u) { return identityOf(u) == id; });
    if (unit == w.units.end() && (w.units.size() > 1 || m_heard.duplicateSerial(serial))) {
        if (w.units.size() < ReceiverList::MaxAddressesPerSerial)
            w.units << r;
        if (!w.twice || back)
            watchEvent(back ? QStringLiteral("back") : QStringLiteral("duplicate"), r);
        w.twice = true;
        return;
    }
    Receiver &last = unit == w.units.end() ? w.units.first() : *unit;
    QList<QPair<QString, QPair<QString, QString>>> changes;
    const auto before = watchedFields(last), after = watchedFields(r);
    for (const auto &field : after) {
        const auto was = std::find_if(before.begin(), before.end(),
                                      [&](const auto &b) { return b.first == field.first; });
        const QString from = was == before.end() ? QString() : was->second;
        if (from != field.second)
            changes.append({field.first, {from, field.second}});
    }
    last = r;
    if (back)
        watchEvent(QStringLiteral("back"), r, changes);
    else if (!changes.isEmpty())
        watchEvent(QStringLiteral("changed"), r, changes);
}

void Tool::endWatchSearch()
{
    // Only the serials still watched: a search's work stays with what answers.
    QList<QByteArray> still;
    for (const QByteArray &serial : std::as_const(m_watchOrder)) {
        Watched &w = m_watched[serial];
        if (m_heard.find(serial) || ++w.missed < m_options.missed) {
            still << serial;
            continue;
        }
        w.gone = true;
        m_goneOrder << serial;
        watchEvent(QStringLiteral("gone"), w.units.constFirst());
    }
    m_watchOrder = still;
    if (m_phase == Phase::Done)
        return; // an event could not be written
    ++m_searches;
    if (m_options.count && m_searches >= m_options.count) {
        finish(ExitOk);
        return;
    }
    m_progress.stop();
    clearProgress();
    m_nextSearch.start(int(std::max<qint64>(0, m_options.intervalMs - m_clock.elapsed())));
}

void Tool::nextWatchSearch()
{
    // Each search as the first: --retries spreads its requests over the window.
    m_retriesLeft = m_options.search.retries;
    beginSearch(m_options.search.timeoutMs,
                m_retriesLeft ? m_options.search.timeoutMs / (m_retriesLeft + 1) : 0);
    sendRequests(false);
}

void Tool::watchEvent(const QString &event, const Receiver &r,
                      const QList<QPair<QString, QPair<QString, QString>>> &changes)
{
    const QString time = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
    if (m_options.format == Format::Json) {
        QJsonArray list;
        for (const auto &c : changes)
            list.append(QJsonObject{{QStringLiteral("field"), c.first},
                                    {QStringLiteral("from"), c.second.first},
                                    {QStringLiteral("to"), c.second.second}});
        const QJsonObject o{
            {QStringLiteral("time"), time},
            {QStringLiteral("event"), event},
            {QStringLiteral("serial"), QString::fromLatin1(r.serial())},
            {QStringLiteral("model"), QString::fromLatin1(fieldText(r.head.deviceName).c_str())},
            {QStringLiteral("ip"), quadString(r.ip())},
            {QStringLiteral("port"), u16(r.head.tcpPort)},
            {QStringLiteral("inUse"), r.inUse},
            {QStringLiteral("changes"), list}};
        out(QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact)) + QLatin1Char('\n'));
        return;
    }
    QStringList described;
    for (const auto &c : changes)
        described << QStringLiteral("%1 %2 -> %3").arg(c.first, c.second.first, c.second.second);
    QString line =
        QStringList{time, event, displayText(r.serial()), displayText(fieldText(r.head.deviceName)),
                    quadString(r.ip()) + QLatin1Char(':') + QString::number(u16(r.head.tcpPort))}
            .join(QLatin1Char(' '));
    if (r.inUse)
        line += QStringLiteral(" in use");
    if (!described.isEmpty())
        line += QStringLiteral(": ") + described.join(QStringLiteral(", "));
    out(line + QLatin1Char('\n'));
}

void Tool::err(const QString &text)
{
    clearProgress();
    std::fprintf(stderr, "vantrel-cli: %s\n", text.toUtf8().constData());
    std::fflush(stderr);
}

void Tool::finish(int code)
{
    if (m_phase == Phase::Done)
        return; // a write that failed on the way has decided already
    m_phase = Phase::Done;
    m_exitCode = code;
    m_deadline.stop();
    m_retry.stop();
    m_progress.stop();
    clearProgress();
    m_log.line(QStringLiteral("exit code=%1").arg(code));
    QCoreApplication::exit(code);
}

void Tool::finishFind()
{
    if (m_phase == Phase::Done)
        return;
    const QList<Receiver> &all = m_heard.all();
    for (const int index : std::as_const(m_deferredRows))
        if (!out(textRow(all.at(index), notes(index)) + QLatin1Char('\n')))
            return;
    m_deferredRows.clear();
    if (m_options.format == Format::Json) {
        QString text = QStringLiteral("[");
        for (int i = 0; i < all.size(); ++i)
            text += (i ? QStringLiteral(",\n  ") : QStringLiteral("\n  ")) +
                    QString::fromUtf8(
                        QJsonDocument(findJson(all[i], notes(i))).toJson(QJsonDocument::Compact));
        if (!out(text + (all.isEmpty() ? QStringLiteral("]\n") : QStringLiteral("\n]\n"))))
            return;
    } else if (m_options.format == Format::Csv) {
        QString text = csvHeader() + QLatin1Char('\n');
        for (int i = 0; i < all.size(); ++i)
            text += csvRow(all[i], notes(i)) + QLatin1Char('\n');
        if (!out(text))
            return;
    }

    if (m_heard.overflowed())
        err(QStringLiteral("warning: more than %1 receivers answered; the others were ignored")
                .arg(ReceiverList::MaxReceivers));
    QList<Quad> reported;
    for (int i = 0; i < all.size(); ++i) {
        const QList<QByteArray> others = m_heard.conflicts(i);
        if (others.isEmpty() || reported.contains(all[i].ip()))
            continue;
        reported << all[i].ip();
        err(QStringLiteral("warning: IP conflict: %1 is reported by %2, %3")
                .arg(quadString(all[i].ip()), displayText(fieldText(all[i].head.serialNumber)),
                     displayList(others, QStringLiteral(", "))));
    }
    for (const Receiver &r : all)
        if (m_heard.duplicateSerial(r.serial())) {
            QStringList units;
            for (const Identity &id : m_heard.identities(r.serial()))
                units << identityText(id, r.configurable);
            err(QStringLiteral("warning: serial number %1 answers as %2 units: %3")
                    .arg(displayText(r.serial()), QString::number(units.size()),
                         units.join(QStringLiteral(", "))));
        }

    const int expect = m_options.search.expect;
    const int found = int(all.size());
    if (m_interrupted) {
        finish(ExitInterrupted);
    } else if (found == 0 && !m_filtered.isEmpty()) {
        QStringList models;
        for (const QString &m : std::as_const(m_options.models))
            models << QLatin1Char('\'') + quoted(m) + QLatin1Char('\'');
        err(QStringLiteral("%1 %2 answered, none is model %3 (models heard: %4)")
                .arg(QString::number(m_filtered.size()),
                     m_filtered.size() == 1 ? QStringLiteral("receiver")
                                            : QStringLiteral("receivers"),
                     models.join(QStringLiteral(" or ")),
                     m_modelsHeard.join(QStringLiteral(", "))));
        finish(ExitNotFound);
    } else if (found == 0) {
        err(QStringLiteral("no receiver answered within %1 ms").arg(m_options.search.timeoutMs));
        finish(ExitNotFound);
    } else if (expect && found < expect) {
        err(QStringLiteral("only %1 of the %2 expected receivers answered within %3 ms")
                .arg(QString::number(found), QString::number(expect),
                     QString::number(m_options.search.timeoutMs)));
        finish(ExitNotFound);
    } else {
        finish(ExitOk);
    }
}

void Tool::finishSet()
{
    m_deadline.stop();
    m_retry.stop();
    const Receiver *found = m_heard.find(m_options.serial);
    const QString serial = QString::fromLatin1(m_options.serial);
    const bool json = m_options.format == Format::Json;
    if (!found) {
        const QString detail = QStringLiteral("receiver %1 did not answer within %2 ms")
                                   .arg(serial, QString::number(m_options.search.timeoutMs));
        err(detail);
        setDone(ExitNotFound, QStringLiteral("not found"), detail);
        return;
    }
    m_target = *found;
    m_targetUnits = int(m_heard.identities(m_target.serial()).size());
    m_planned = m_target.config;
    const bool changes = applyEdits(m_planned, m_options.edits);
    const SetReview review =
        reviewSet(m_target, m_planned, m_options.edits, m_heard, m_local, reach(m_target).routed);
    m_setRefusals = review.blockers + review.refusals;
    m_setWarnings = review.warnings;

    for (const QString &b : review.blockers)
        err(QStringLiteral("refused: ") + b);
    if (!review.blockers.isEmpty()) {
        setDone(ExitRefused, QStringLiteral("refused"));
        return;
    }
    // Nothing sent, nothing lost: the checks below guard a send.
    if (!changes) {
        m_setRefusals.clear();
        const QString detail =
            QStringLiteral("%1 already has these settings; nothing sent").arg(serial);
        if (json)
            setDone(ExitOk, QStringLiteral("unchanged"), detail);
        else if (out(detail + QLatin1Char('\n')))
            finish(ExitOk);
        return;
    }
    for (const QString &w : review.warnings)
        err(QStringLiteral("warning: ") + w);
    if (!review.refusals.isEmpty() && !m_options.force) {
        for (const QString &r : review.refusals)
            err(QStringLiteral("refused: ") + r);
        err(QStringLiteral("nothing sent; --force sends despite these checks"));
        setDone(ExitRefused, QStringLiteral("refused"));
        return;
    }
    if (!m_options.dryRun)
        for (const QString &r : review.refusals)
            err(QStringLiteral("--force: sending although ") + r);

    const auto before = namedValues(m_target.config, m_options.edits);
    const auto after = namedValues(m_planned, m_options.edits);
    QStringList changed;
    for (int i = 0; i < before.size(); ++i)
        if (before[i].second != after[i].second)
            changed << QStringLiteral("%1 %2 -> %3")
                           .arg(before[i].first, before[i].second, after[i].second);
    const QString line = QStringLiteral("%1 (%2 at %3): %4")
                             .arg(serial, displayText(fieldText(m_target.head.deviceName)),
                                  quadString(m_target.ip()), changed.join(QStringLiteral(", ")));
    if (m_options.dryRun) {
        if (json) {
            setDone(ExitOk, QStringLiteral("dry run"), line);
        } else if (out(line + QLatin1Char('\n'))) {
            err(QStringLiteral("dry run: nothing sent"));
            finish(ExitOk);
        }
        return;
    }
    // The document comes at the end; a standard output closed already stops
    // the run before anything is sent, as a failed line does in text.
    if (json ? g_stdoutClosed && !out(QString()) : !out(line + QLatin1Char('\n')))
        return;
    if (json)
        err(line);
    sendConfig();
}

void Tool::sendConfig()
{
    if (!sendRecord(m_target, m_planned)) {
        setDone(ExitNotConfirmed, QStringLiteral("not sent"),
                QStringLiteral("the message could not be sent"));
        return;
    }
    m_phase = Phase::Verify;
    m_seenAfter.reset();
    beginSearch(m_options.verifyTimeoutMs, VerifyResendMs);
    sendRequests(false);
}

bool Tool::sendRecord(const Receiver &target, const DeviceConfigRecord &planned)
{
    const std::vector<std::uint8_t> message = configMessage(planned);
    const QByteArray bytes(reinterpret_cast<const char *>(message.data()), int(message.size()));
    // Out through the interface where the receiver answered: the limited
    // broadcast would otherwise follow the default route, which may lead elsewhere.
    const int index = target.interfaceIndex;
    QString name = index > 0 ? QNetworkInterface::interfaceNameFromIndex(index) : QString();
    QHostAddress to(QHostAddress::Broadcast);
    const QString serial = displayText(target.serial());
    // A limited broadcast never crosses a router: a receiver heard through
    // one gets the message at the address it answered from.
    if (reach(target).routed) {
        to = target.from;
        name.clear();
        err(QStringLiteral("note: %1 answered through a router from %2; the configuration "
                           "message goes to that address directly")
                .arg(serial, to.toString()));
    }
    QString error;
    if (!m_exchange.send(bytes, Destination{to, name.isEmpty() ? 0 : index, name}, &error)) {
        err(QStringLiteral("cannot send the configuration message for %1 to %2%3: %4")
                .arg(serial, to.toString(),
                     name.isEmpty() ? QString() : QStringLiteral(" on ") + name, error));
        return false;
    }
    m_sent = true;
    // A note for the person, not data: standard output holds one document.
    err(QStringLiteral("sent the configuration message (%1 bytes) to %2:%3%4")
            .arg(QString::number(bytes.size()), to.toString(), QString::number(DevicePort),
                 name.isEmpty() ? QString() : QStringLiteral(" on ") + name));
    return true;
}

void Tool::noteUnit(const Receiver &r)
{
    QList<VerifyUnit> &units = m_verifyUnits[r.serial()];
    const Identity id = identityOf(r);
    ++m_verifyReplies;
    for (VerifyUnit &u : units)
        if (identityOf(u.last) == id) {
            u.last = r;
            u.lastSeen = m_verifyReplies;
            return;
        }
    if (units.size() < ReceiverList::MaxAddressesPerSerial)
        units << VerifyUnit{r, m_verifyReplies, m_verifyReplies};
}

QList<Receiver> Tool::unitsAfter(const Receiver &target) const
{
    // The target may still answer as it was, before it applies the message;
    // once it answers as it is now and no more as before, that was no second
    // unit. One that goes on answering as before is.
    const QList<VerifyUnit> units = m_verifyUnits.value(target.serial());
    const Identity old = identityOf(target);
    int firstOther = 0;
    for (const VerifyUnit &u : units)
        if (!(identityOf(u.last) == old) && (!firstOther || u.firstSeen < firstOther))
            firstOther = u.firstSeen;
    QList<Receiver> out;
    for (const VerifyUnit &u : units)
        if (!(identityOf(u.last) == old && firstOther && u.lastSeen < firstOther))
            out << u.last;
    return out;
}

QString Tool::contradiction(const Receiver &target, const DeviceConfigRecord &planned,
                            const NetworkEdits &edits) const
{
    QStringList with, without;
    for (const Receiver &u : unitsAfter(target)) {
        const bool took = u.configurable && differences(u.config, planned, edits).isEmpty();
        (took ? with : without) << identityText(identityOf(u), u.configurable);
    }
    if (with.isEmpty() || without.isEmpty())
        return QString();
    return QStringLiteral("%1 answered as %2 units, %3 with the new settings and %4 without")
        .arg(displayText(target.serial()), QString::number(with.size() + without.size()),
             with.join(QStringLiteral(", ")), without.join(QStringLiteral(", ")));
}

bool Tool::several(const Receiver &target, int unitsInSearch) const
{
    return unitsInSearch > 1 || unitsAfter(target).size() > 1;
}

void Tool::judgeVerify(bool final)
{
    const QString serial = QString::fromLatin1(m_options.serial);
    if (!m_seenAfter) {
        if (final) {
            const QString detail = QStringLiteral("%1 did not answer within %2 ms after the "
                                                  "configuration message")
                                       .arg(serial, QString::number(m_options.verifyTimeoutMs));
            err(QStringLiteral("not seen: ") + detail);
            setDone(ExitNotConfirmed, QStringLiteral("not seen"), detail);
        }
        return;
    }
    const NetworkEdits &edits = m_options.edits;
    if (several(m_target, m_targetUnits) && !final)
        return; // every unit must have its say
    const QString disagree = contradiction(m_target, m_planned, edits);
    if (!disagree.isEmpty()) {
        err(QStringLiteral("not confirmed: ") + disagree);
        setDone(ExitNotConfirmed, QStringLiteral("not confirmed"), disagree);
        return;
    }
    const Receiver &seen = *m_seenAfter;
    const QStringList missing =
        seen.configurable
            ? differences(seen.config, m_planned, edits)
            : QStringList{QStringLiteral("it answers as %1")
                              .arg(withArticle(displayText(fieldText(seen.head.deviceName))))};
    if (missing.isEmpty()) {
        const QString detail =
            QStringLiteral("%1 answers with the new settings at %2:%3")
                .arg(serial, quadString(seen.ip()), QString::number(u16(seen.head.tcpPort)));
        outcome(QStringLiteral("applied: ") + detail);
        setDone(ExitOk, QStringLiteral("applied"), detail);
        return;
    }
    // Until the time is up a newer reply may still show the new settings.
    if (!final)
        return;
    const Quad was = m_target.ip(), wanted = quad(m_planned.head.ipAddress);
    QString verdict, detail;
    if (seen.ip() != was && seen.ip() != wanted) {
        verdict = QStringLiteral("seen at another address");
        detail = QStringLiteral("%1 answers at %2, not at %3 (%4)")
                     .arg(serial, quadString(seen.ip()), quadString(wanted),
                          missing.join(QStringLiteral("; ")));
    } else if (seen.configurable && differences(seen.config, m_target.config, edits).isEmpty()) {
        verdict = QStringLiteral("seen unchanged");
        detail = QStringLiteral("%1 still answers with its old settings (%2)")
                     .arg(serial, missing.join(QStringLiteral("; ")));
    } else {
        verdict = QStringLiteral("partly applied");
        detail =
            QStringLiteral("%1 answers, but %2").arg(serial, missing.join(QStringLiteral("; ")));
    }
    err(verdict + QStringLiteral(": ") + detail);
    setDone(ExitNotConfirmed, verdict, detail);
}

void Tool::setDone(int code, const QString &verdict, const QString &detail)
{
    if (m_options.format == Format::Json) {
        QJsonArray changes;
        const auto before = namedValues(m_target.config, m_options.edits);
        const auto after = namedValues(m_planned, m_options.edits);
        for (int i = 0; i < before.size() && m_target.configurable; ++i)
            if (before[i].second != after[i].second)
                changes.append(QJsonObject{{QStringLiteral("setting"), before[i].first},
                                           {QStringLiteral("from"), before[i].second},
                                           {QStringLiteral("to"), after[i].second}});
        const bool found = m_target.size > 0;
        const QJsonObject o{
            {QStringLiteral("serial"), QString::fromLatin1(m_options.serial)},
            {QStringLiteral("model"),
             found ? QJsonValue(QString::fromLatin1(fieldText(m_target.head.deviceName).c_str()))
                   : QJsonValue()},
            {QStringLiteral("ip"), found ? QJsonValue(quadString(m_target.ip())) : QJsonValue()},
            {QStringLiteral("changes"), changes},
            {QStringLiteral("outcome"), verdict},
            {QStringLiteral("detail"), detail},
            {QStringLiteral("refusals"), QJsonArray::fromStringList(m_setRefusals)},
            {QStringLiteral("warnings"), QJsonArray::fromStringList(m_setWarnings)},
            {QStringLiteral("sent"), m_sent}};
        report(QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Indented)), true);
    }
    finish(code);
}

void prepareProcess()
{
#ifndef Q_OS_WIN
    // A write to a closed pipe fails with EPIPE instead of ending the process,
    // so that 'set ... | head' still reports what became of the receiver.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);
    // A closed standard stream would be taken by the next file or socket
    // opened, and output meant for it would go there: hold it with /dev/null.
    for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        if (fd == STDOUT_FILENO)
            g_stdoutClosed = true;
        const int null = open("/dev/null", O_RDWR);
        if (null >= 0 && null != fd) {
            dup2(null, fd);
            close(null);
        }
    }
#endif
}

int run(const QStringList &args)
{
    Options options;
    try {
        options = parseArguments(args);
    } catch (const UsageError &e) {
        std::fprintf(stderr, "vantrel-cli: %s\n", e.message.toUtf8().constData());
        return ExitUsage;
    }
    if (options.help || options.version) {
        const QString text =
            options.help ? helpText(options.command)
                         : QStringLiteral("vantrel-cli %1\n").arg(QLatin1String(VANTREL_VERSION));
        if (g_stdoutClosed || std::fputs(text.toUtf8().constData(), stdout) < 0 ||
            std::fflush(stdout) != 0) {
            std::fprintf(stderr, "vantrel-cli: cannot write to standard output\n");
            return ExitOutput;
        }
        return ExitOk;
    }
    if (options.command == Command::Apply) {
        // The log is opened for writing before anything is sent: it would
        // overwrite the plan it was given.
        const QFileInfo log(options.logFile), plan(options.planPath);
        if (!options.logFile.isEmpty() && log.exists() && plan.exists() &&
            log.canonicalFilePath() == plan.canonicalFilePath()) {
            std::fprintf(stderr, "vantrel-cli: --log: '%s' is the plan itself\n",
                         options.logFile.toUtf8().constData());
            return ExitUsage;
        }
        try {
            options.plan = loadPlan(options.planPath);
        } catch (const UsageError &e) {
            std::fprintf(stderr, "vantrel-cli: %s\n", e.message.toUtf8().constData());
            return ExitUsage;
        }
    }
    Tool tool(options);
    if (const std::optional<int> code = tool.start())
        return *code;
    return QCoreApplication::exec();
}

} // namespace Cli
