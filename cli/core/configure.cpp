// SPDX-License-Identifier: MIT
#include "configure.h"

#include <QNetworkInterface>

using namespace Discovery;

namespace Cli {

Delivery sendConfiguration(Exchange &exchange, const Receiver &target,
                           const DeviceConfigRecord &planned, bool routed)
{
    const std::vector<std::uint8_t> message = configMessage(planned);
    const QByteArray bytes(reinterpret_cast<const char *>(message.data()), int(message.size()));
    // Out through the interface where the receiver answered: the limited
    // broadcast would otherwise follow the default route, which may lead elsewhere.
    const int index = target.interfaceIndex;
    QString name = index > 0 ? QNetworkInterface::interfaceNameFromIndex(index) : QString();
    QHostAddress to(QHostAddress::Broadcast);
    const QString serial = displayText(target.serial());
    Delivery d;
    // A limited broadcast never crosses a router: a receiver heard through
    // one gets the message at the address it answered from.
    if (routed) {
        to = target.from;
        name.clear();
        d.routedNote = QStringLiteral("%1 answered through a router from %2; the configuration "
                                      "message goes to that address directly")
                           .arg(serial, to.toString());
    }
    const QString on = name.isEmpty() ? QString() : QStringLiteral(" on ") + name;
    QString error;
    d.sent = exchange.send(bytes, Destination{to, name.isEmpty() ? 0 : index, name}, &error);
    d.note = d.sent ? QStringLiteral("sent the configuration message (%1 bytes) to %2:%3%4")
                          .arg(QString::number(bytes.size()), to.toString(),
                               QString::number(DevicePort), on)
                    : QStringLiteral("cannot send the configuration message for %1 to %2%3: %4")
                          .arg(serial, to.toString(), on, error);
    return d;
}

void Verification::note(const Receiver &r)
{
    QList<Unit> &units = m_units[r.serial()];
    const Identity id = identityOf(r);
    ++m_replies;
    for (Unit &u : units)
        if (identityOf(u.last) == id) {
            u.last = r;
            u.lastSeen = m_replies;
            return;
        }
    if (units.size() < ReceiverList::MaxAddressesPerSerial)
        units << Unit{r, m_replies, m_replies};
}

QList<Receiver> Verification::unitsAfter(const Receiver &was) const
{
    // The target may still answer as it was, before it applies the message;
    // once it answers as it is now and no more as before, that was no second
    // unit. One that goes on answering as before is.
    const QList<Unit> units = m_units.value(was.serial());
    const Identity old = identityOf(was);
    int firstOther = 0;
    for (const Unit &u : units)
        if (!(identityOf(u.last) == old) && (!firstOther || u.firstSeen < firstOther))
            firstOther = u.firstSeen;
    QList<Receiver> out;
    for (const Unit &u : units)
        if (!(identityOf(u.last) == old && firstOther && u.lastSeen < firstOther))
            out << u.last;
    return out;
}

QString Verification::contradiction(const Target &t) const
{
    QStringList with, without;
    for (const Receiver &u : unitsAfter(t.was)) {
        const bool took = u.configurable && differences(u.config, t.planned, t.edits).isEmpty();
        (took ? with : without) << identityText(identityOf(u), u.configurable);
    }
    if (with.isEmpty() || without.isEmpty())
        return QString();
    return QStringLiteral("%1 answered as %2 units, %3 with the new settings and %4 without")
        .arg(displayText(t.was.serial()), QString::number(with.size() + without.size()),
             with.join(QStringLiteral(", ")), without.join(QStringLiteral(", ")));
}

std::optional<Outcome> Verification::judge(const Target &t, const Receiver *seen, bool final,
                                           int windowMs) const
{
    const QString serial = displayText(t.was.serial());
    if (!seen) {
        if (!final)
            return std::nullopt;
        return Outcome{QStringLiteral("not seen"),
                       QStringLiteral("%1 did not answer within %2 ms after the configuration "
                                      "message")
                           .arg(serial, QString::number(windowMs))};
    }
    // Every unit of a serial that answers as several must have its say.
    if (!final && (t.unitsInSearch > 1 || unitsAfter(t.was).size() > 1))
        return std::nullopt;
    const QString disagree = contradiction(t);
    if (!disagree.isEmpty())
        return Outcome{QStringLiteral("not confirmed"), disagree};
    const QStringList missing =
        seen->configurable
            ? differences(seen->config, t.planned, t.edits)
            : QStringList{QStringLiteral("it answers as %1")
                              .arg(withArticle(displayText(fieldText(seen->head.deviceName))))};
    if (missing.isEmpty())
        return Outcome{
            QStringLiteral("applied"),
            QStringLiteral("%1 answers with the new settings at %2:%3")
                .arg(serial, quadString(seen->ip()), QString::number(u16(seen->head.tcpPort)))};
    // Until the time is up a newer reply may still show the new settings.
    if (!final)
        return std::nullopt;
    const Quad wanted = quad(t.planned.head.ipAddress);
    const QString what = missing.join(QStringLiteral("; "));
    if (seen->ip() != t.was.ip() && seen->ip() != wanted)
        return Outcome{QStringLiteral("seen at another address"),
                       QStringLiteral("%1 answers at %2, not at %3 (%4)")
                           .arg(serial, quadString(seen->ip()), quadString(wanted), what)};
    if (seen->configurable && differences(seen->config, t.was.config, t.edits).isEmpty())
        return Outcome{
            QStringLiteral("seen unchanged"),
            QStringLiteral("%1 still answers with its old settings (%2)").arg(serial, what)};
    return Outcome{QStringLiteral("partly applied"),
                   QStringLiteral("%1 answers, but %2").arg(serial, what)};
}

} // namespace Cli
