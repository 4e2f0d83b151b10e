// SPDX-License-Identifier: MIT
#include "configure.h"
#include "network.h"
#include "values.h"

#include <QNetworkInterface>

using namespace Discovery;

namespace Core {

Delivery sendConfiguration(Exchange &exchange, const Receiver &target,
                           const DeviceConfigRecord &planned, bool routed)
{
    const std::vector<std::uint8_t> message = configMessage(planned);
    const QByteArray bytes(reinterpret_cast<const char *>(message.data()), int(message.size()));
    const QString serial = displayText(target.serial());
    QString gone;
    Destination to = broadcastOn(routed ? QString() : target.interfaceName, &gone);
    Delivery d;
    // A limited broadcast never crosses a router: a receiver heard through
    // one gets the message at the address it answered from.
    if (routed) {
        to.address = target.from;
        d.routedNote = QStringLiteral("%1 answered through a router from %2; the configuration "
                                      "message goes to that address directly")
                           .arg(serial, to.address.toString());
    } else if (!gone.isEmpty()) {
        d.note = QStringLiteral("not sent: %1 answered on %2, which %3 now (expected it up; "
                                "search again once it is)")
                     .arg(serial, target.interfaceName, gone);
        return d;
    }
    const QString on =
        to.interfaceName.isEmpty() ? QString() : QStringLiteral(" on ") + to.interfaceName;
    QString error;
    d.sent = exchange.send(bytes, to, &error);
    d.note = d.sent
                 ? QStringLiteral("sent the configuration message (%1 bytes) to %2:%3%4")
                       .arg(QString::number(bytes.size()), to.address.toString(),
                            QString::number(DevicePort), on)
                 : QStringLiteral("not sent: the configuration message for %1 to %2%3 failed: %4")
                       .arg(serial, to.address.toString(), on, error);
    return d;
}

namespace {

bool unchangedReply(const Receiver &r, const Target &t)
{
    return r.configurable && differences(r.config, t.was.config, t.edits).isEmpty() &&
           !differences(r.config, t.planned, t.edits).isEmpty();
}

// Whether a reply may speak for the target.
bool fromTarget(const Receiver &r, const Target &t)
{
    if (t.was.local)
        return r.local; // a receiver played here answers from any of our addresses
    if (!t.was.interfaceName.isEmpty() && r.interfaceName != t.was.interfaceName)
        return false;
    const QHostAddress planned(quad(t.planned.head.ipAddress).value());
    if (r.from == t.was.from || r.from == planned)
        return true;
    const bool toDhcp = t.edits.dhcp && *t.edits.dhcp && !(t.was.config.netFlags & NetDhcp);
    return toDhcp && r.configurable &&
           macDisplayOrder(r.config.macAddress) == macDisplayOrder(t.was.config.macAddress);
}

} // namespace

void Verification::expect(const Target &t)
{
    m_heard.insert(t.was.serial(), Heard{t, {}, -1, false, 0, std::nullopt, false, std::nullopt});
}

void Verification::note(const Receiver &r)
{
    const auto it = m_heard.find(r.serial());
    if (it == m_heard.end())
        return;
    Heard &h = *it;
    if (!fromTarget(r, h.target)) {
        ++h.others;
        if (h.took && unchangedReply(r, h.target))
            h.clone = r;
        if (r.configurable && r.interfaceName == h.target.was.interfaceName &&
            macDisplayOrder(r.config.macAddress) == macDisplayOrder(h.target.was.config.macAddress))
            h.elsewhere = r;
        return;
    }
    h.unchanged = h.unchanged || unchangedReply(r, h.target);
    h.took = h.took ||
             (r.configurable && differences(r.config, h.target.planned, h.target.edits).isEmpty());
    const Identity id = identityOf(r);
    ++m_replies;
    for (int i = 0; i < h.units.size(); ++i)
        if (identityOf(h.units[i].last) == id) {
            h.units[i].last = r;
            h.units[i].lastSeen = m_replies;
            h.latest = i;
            return;
        }
    if (h.units.size() < ReceiverList::MaxAddressesPerSerial) {
        h.units << Unit{r, m_replies, m_replies};
        h.latest = int(h.units.size() - 1);
    }
}

QList<Receiver> Verification::unitsAfter(const Heard &h) const
{
    // The target may still answer as it was, before it applies the message;
    // once it answers as it is now and no more as before, that was no second
    // unit. One that goes on answering as before is.
    const Identity old = identityOf(h.target.was);
    int firstOther = 0;
    for (const Unit &u : h.units)
        if (!(identityOf(u.last) == old) && (!firstOther || u.firstSeen < firstOther))
            firstOther = u.firstSeen;
    QList<Receiver> out;
    for (const Unit &u : h.units)
        if (!(identityOf(u.last) == old && firstOther && u.lastSeen < firstOther))
            out << u.last;
    return out;
}

QString Verification::contradiction(const Heard &h) const
{
    const Target &t = h.target;
    QStringList with, without;
    for (const Receiver &u : unitsAfter(h)) {
        const bool took = u.configurable && differences(u.config, t.planned, t.edits).isEmpty();
        (took ? with : without) << identityText(identityOf(u), u.configurable);
    }
    if (with.isEmpty() || without.isEmpty())
        return QString();
    return QStringLiteral("%1 answered as %2 units, %3 with the new settings and %4 without")
        .arg(displayText(t.was.serial()), QString::number(with.size() + without.size()),
             with.join(QStringLiteral(", ")), without.join(QStringLiteral(", ")));
}

QString verdictText(Outcome::Verdict v)
{
    switch (v) {
    case Outcome::Applied:
        return QStringLiteral("applied");
    case Outcome::PartlyApplied:
        return QStringLiteral("partly applied");
    case Outcome::NotApplied:
        return QStringLiteral("not applied");
    case Outcome::NotConfirmed:
        return QStringLiteral("not confirmed");
    case Outcome::NotSeen:
        return QStringLiteral("not seen");
    case Outcome::SeenUnchanged:
        return QStringLiteral("seen unchanged");
    case Outcome::SeenElsewhere:
        return QStringLiteral("seen at another address");
    }
    return QString();
}

std::optional<Outcome> Verification::judge(const Target &t, bool final, int windowMs) const
{
    const QString serial = displayText(t.was.serial());
    const auto it = m_heard.constFind(t.was.serial());
    if (it == m_heard.constEnd() || it->latest < 0) {
        if (!final)
            return std::nullopt;
        // An address nobody gave it, with its MAC on its wire: it took a
        // wrong one. That explains a failure; it never confirms.
        if (it != m_heard.constEnd() && it->elsewhere) {
            const Receiver &r = *it->elsewhere;
            const QStringList missing = differences(r.config, t.planned, t.edits);
            if (!missing.isEmpty())
                return Outcome{Outcome::SeenElsewhere,
                               QStringLiteral("%1 answers at %2, not at %3 (%4)")
                                   .arg(serial, r.from.toString(),
                                        quadString(quad(t.planned.head.ipAddress)),
                                        missing.join(QStringLiteral("; ")))};
        }
        const int others = it == m_heard.constEnd() ? 0 : it->others;
        return Outcome{
            Outcome::NotSeen,
            QStringLiteral("%1 did not answer within %2 ms after the configuration message%3")
                .arg(serial, QString::number(windowMs),
                     others ? QStringLiteral(" (%1 replies with its serial number came from "
                                             "elsewhere and do not count)")
                                  .arg(others)
                            : QString())};
    }
    const Heard &h = *it;
    const Receiver *seen = &h.units.at(h.latest).last;
    // Every unit of a serial that answers as several must have its say, and
    // once it answered unchanged, or its serial answered from elsewhere, only
    // the whole window tells whether it took the message after all.
    if (!final && (t.unitsInSearch > 1 || unitsAfter(h).size() > 1 || h.unchanged || h.others))
        return std::nullopt;
    const QString disagree = contradiction(h);
    if (!disagree.isEmpty())
        return Outcome{Outcome::NotConfirmed, disagree};
    if (h.clone)
        return Outcome{Outcome::NotApplied,
                       QStringLiteral("%1 took the new settings, but another unit with its serial "
                                      "number still answers as it was, from %2; the message may "
                                      "not have reached the one meant")
                           .arg(serial, sourceText(h.clone->local, h.clone->from,
                                                   quoted(h.clone->interfaceName)))};
    const QStringList missing =
        seen->configurable
            ? differences(seen->config, t.planned, t.edits)
            : QStringList{QStringLiteral("it answers as %1")
                              .arg(withArticle(displayText(fieldText(seen->head.deviceName))))};
    if (missing.isEmpty())
        return Outcome{Outcome::Applied, QStringLiteral("%1 answers with the new settings at %2:%3")
                                             .arg(serial, quadString(seen->ip()),
                                                  QString::number(u16(seen->head.tcpPort)))};
    // Until the time is up a newer reply may still show the new settings.
    if (!final)
        return std::nullopt;
    const Ipv4 wanted = quad(t.planned.head.ipAddress);
    const QString what = missing.join(QStringLiteral("; "));
    if (seen->ip() != t.was.ip() && seen->ip() != wanted)
        return Outcome{Outcome::SeenElsewhere,
                       QStringLiteral("%1 answers at %2, not at %3 (%4)")
                           .arg(serial, quadString(seen->ip()), quadString(wanted), what)};
    if (seen->configurable && differences(seen->config, t.was.config, t.edits).isEmpty())
        return Outcome{
            Outcome::SeenUnchanged,
            QStringLiteral("%1 still answers with its old settings (%2)").arg(serial, what)};
    return Outcome{Outcome::PartlyApplied, QStringLiteral("%1 answers, but %2").arg(serial, what)};
}

} // namespace Core
