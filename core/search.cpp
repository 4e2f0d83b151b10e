// SPDX-License-Identifier: MIT
#include "search.h"
#include "system.h"

using namespace Discovery;

namespace Core {

namespace {

// Unicast requests of a --to block: this many at once, then as many per tick.
constexpr int PaceBatch = 32;
constexpr int PaceMs = 5;
// --to addresses named in the summary of a search that heard nothing.
constexpr int MaxNamed = 8;

QByteArray requestBytes()
{
    const auto request = discoverRequest();
    return QByteArray(reinterpret_cast<const char *>(request.data()), int(request.size()));
}

} // namespace

Search::Search(Exchange &exchange, const SearchOptions &options, QObject *parent)
    : QObject(parent), m_exchange(exchange), m_options(options)
{
    connect(&m_exchange, &Exchange::replyReceived, this, &Search::onReply);
    m_deadline.setSingleShot(true);
    m_deadline.setTimerType(Qt::PreciseTimer);
    connect(&m_deadline, &QTimer::timeout, this, &Search::onDeadline);
    m_resend.setTimerType(Qt::PreciseTimer);
    connect(&m_resend, &QTimer::timeout, this, &Search::onResend);
    m_pace.setInterval(PaceMs);
    connect(&m_pace, &QTimer::timeout, this, &Search::sendPaced);
    // --settle: a quiet network has said all it will say once no new receiver
    // answers for a while; the deadline stays the limit.
    m_settle.setSingleShot(true);
    m_settle.setTimerType(Qt::PreciseTimer);
    connect(&m_settle, &QTimer::timeout, this, &Search::onDeadline);
}

QString Search::prepare()
{
    const Setup setup = Core::destinations(m_options);
    m_destinations = setup.destinations;
    m_interfaces = localSubnets(true);
    m_subnets = localSubnets(false);
    return setup.error;
}

int Search::begin(int windowMs, int resendEveryMs, int resends, QStringList *failures)
{
    m_heard = ReceiverList();
    m_unasked = 0;
    m_heard.setOneLan(oneLan(m_interfaces));
    m_running = true;
    m_windowMs = windowMs;
    m_clock.start();
    m_deadline.start(windowMs);
    m_resend.stop();
    m_settle.stop();
    m_resendsLeft = resends;
    if (resendEveryMs > 0 && resends != 0)
        m_resend.start(std::max(1, resendEveryMs));
    return sendRequests(failures);
}

int Search::begin(QStringList *failures)
{
    const int retries = m_options.retries;
    return begin(m_options.timeoutMs, retries ? m_options.timeoutMs / (retries + 1) : 0, retries,
                 failures);
}

void Search::stop()
{
    m_running = false;
    m_probing = false;
    m_deadline.stop();
    m_resend.stop();
    m_settle.stop();
    m_pace.stop();
    m_paced.clear();
}

qint64 Search::leftMs() const
{
    return std::max<qint64>(0, m_windowMs - m_clock.elapsed());
}

QList<QByteArray> Search::serials() const
{
    QList<QByteArray> serials;
    QSet<QByteArray> seen;
    for (const Receiver &r : m_heard.all())
        if (!seen.contains(r.serial())) {
            seen.insert(r.serial());
            serials << r.serial();
        }
    return serials;
}

int Search::sendRequests(QStringList *failures)
{
    const QByteArray bytes = requestBytes();
    int sent = 0, unicast = 0;
    QString error;
    for (const Destination &d : std::as_const(m_destinations)) {
        if (d.interfaceIndex == 0 && ++unicast > PaceBatch) {
            m_paced << d;
            continue;
        }
        if (m_exchange.send(bytes, d, &error))
            ++sent;
        else if (failures)
            *failures << QStringLiteral("cannot send the request to %1%2: %3")
                             .arg(d.address.toString(),
                                  d.interfaceName.isEmpty()
                                      ? QString()
                                      : QStringLiteral(" on ") + d.interfaceName,
                                  error);
    }
    if (!m_paced.isEmpty())
        m_pace.start();
    return sent;
}

void Search::sendPaced()
{
    const QByteArray bytes = requestBytes();
    for (int i = 0; i < PaceBatch && !m_paced.isEmpty(); ++i)
        m_exchange.send(bytes, m_paced.takeFirst(), nullptr);
    if (m_paced.isEmpty())
        m_pace.stop();
}

void Search::onResend()
{
    if (m_resendsLeft == 0) {
        m_resend.stop();
        return;
    }
    if (m_resendsLeft > 0)
        --m_resendsLeft;
    sendRequests(nullptr);
}

void Search::onReply(const Receiver &reply)
{
    Receiver r = reply;
    r.local = m_ownAddresses.contains(Ipv4(r.from.toIPv4Address()));
    if (!m_options.models.isEmpty() &&
        !m_options.models.contains(QString::fromLatin1(fieldText(r.head.deviceName).c_str()))) {
        if (m_filtered.size() < ReceiverList::MaxReceivers)
            m_filtered.insert(r.serial());
        const QString shown = displayText(fieldText(r.head.deviceName));
        if (m_modelsHeard.size() < MaxModelsHeard && !m_modelsHeard.contains(shown))
            m_modelsHeard << shown;
        return;
    }
    if (m_probing) {
        m_heard.add(r);
        if (m_probeWaiting.remove(r.serial()))
            m_onSegment.insert(r.serial());
        if (m_probeWaiting.isEmpty())
            endProbe();
        return;
    }
    if (!m_running)
        return;
    bool isNew = false, newIdentity = false;
    const int index = m_heard.add(r, &isNew, &newIdentity);
    if (isNew && m_options.settleMs > 0)
        m_settle.start(m_options.settleMs);
    if (index >= 0)
        emit received(r, index, isNew, newIdentity);
}

void Search::onDeadline()
{
    if (m_probing) {
        endProbe();
        return;
    }
    m_unasked = int(m_paced.size());
    stop();
    emit windowEnded();
}

void Search::conclude(const QList<QByteArray> &serials, std::function<void()> then)
{
    stop();
    if (m_probed || m_options.to.isEmpty()) {
        then();
        return;
    }
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
    const QByteArray bytes = requestBytes();
    int sent = 0;
    for (const Destination &d : std::as_const(m_destinations))
        if (!m_probeWaiting.isEmpty() && d.interfaceIndex > 0 &&
            interfaces.contains(d.interfaceIndex) && m_exchange.send(bytes, d, nullptr))
            ++sent;
    if (sent == 0) {
        m_probeWaiting.clear();
        then();
        return;
    }
    m_probing = true;
    m_afterProbe = std::move(then);
    // Over as soon as every one has answered; one behind a router never does.
    m_deadline.start(m_options.timeoutMs);
}

void Search::endProbe()
{
    m_deadline.stop();
    m_probeWaiting.clear();
    m_probing = false;
    const std::function<void()> then = std::move(m_afterProbe);
    m_afterProbe = nullptr;
    then();
}

QString Search::summary() const
{
    QStringList asked;
    int unicast = 0;
    for (const Destination &d : m_destinations) {
        if (d.interfaceIndex == 0 && ++unicast > MaxNamed)
            continue;
        asked << d.address.toString() + (d.interfaceName.isEmpty()
                                             ? QString()
                                             : QStringLiteral(" on ") + d.interfaceName);
    }
    if (unicast > MaxNamed)
        asked << QStringLiteral("%1 more addresses given with --to").arg(unicast - MaxNamed);
    if (m_unasked > 0)
        asked << QStringLiteral("but not the last %1 of those given with --to, as the window "
                                "closed first")
                     .arg(m_unasked);
    int replies = 0, others = 0;
    for (const Exchange::Tally &t : m_exchange.tally()) {
        replies += t.replies;
        others += t.others;
    }
    return QStringLiteral("asked %1; %2 datagrams came back, %3 of them valid replies")
        .arg(asked.join(QStringLiteral(", ")), QString::number(replies + others),
             QString::number(replies));
}

bool Search::undecided(const Receiver &r) const
{
    return !m_options.to.isEmpty() && !m_onSegment.contains(r.serial()) &&
           answeredFromOutside(m_heard.arrivals(r.serial()), m_interfaces);
}

Reach Search::reachOf(const Receiver &r, bool explain) const
{
    Surroundings around;
    around.subnets = m_interfaces;
    around.viaBroadcast = m_options.to.isEmpty() || m_onSegment.contains(r.serial());
    around.isOwnAddress = [this](Ipv4 ip) { return m_ownAddresses.contains(ip); };
    around.explain = explain;
    bool before = true;
    if (explain) {
        // A host that answered address resolution lives there, receiver or not.
        around.taken << System::neighbours();
        for (const Receiver &other : m_heard.all()) {
            around.taken << other.ip();
            if (other.configurable)
                around.taken << quad(other.config.gateway);
            // Those listed before it that need a new address get the first ones.
            before = before && other.serial() != r.serial();
            if (before && !reachOf(other, false).reachable)
                ++around.rank;
        }
    }
    return Core::reachOf(r, m_heard.arrivals(r.serial()), around);
}

} // namespace Core
