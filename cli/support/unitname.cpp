// SPDX-License-Identifier: MIT
#include "unitname.h"

#include "values.h"

#include <QRegularExpression>

#include <algorithm>

using namespace Discovery;

namespace Cli {

namespace {

// Edits that turn one text into the other.
int distance(const QString &a, const QString &b)
{
    QList<int> row(b.size() + 1);
    for (int j = 0; j <= b.size(); ++j)
        row[j] = j;
    for (int i = 1; i <= a.size(); ++i) {
        int diagonal = row[0];
        row[0] = i;
        for (int j = 1; j <= b.size(); ++j) {
            const int above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1,
                               diagonal + (a[i - 1].toUpper() == b[j - 1].toUpper() ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

} // namespace

UnitName unitName(const QString &text)
{
    UnitName n;
    n.text = text;
    static const QRegularExpression ipv4(QRegularExpression::anchoredPattern(
        QStringLiteral("(25[0-5]|2[0-4]\\d|1\\d\\d|[1-9]?\\d)(\\.(25[0-5]|2[0-4]\\d|1\\d\\d|[1-9]?"
                       "\\d)){3}")));
    if (ipv4.match(text).hasMatch())
        n.ip = address(QString(), text);
    static const QRegularExpression mac(QRegularExpression::anchoredPattern(
        QStringLiteral("[0-9A-Fa-f]{2}([:-][0-9A-Fa-f]{2}){5}|([0-9A-Fa-f]{4}\\.){2}[0-9A-Fa-f]{4}|"
                       "[0-9A-Fa-f]{12}")));
    if (mac.match(text).hasMatch()) {
        QString digits = text.toLower();
        digits.remove(QRegularExpression(QStringLiteral("[:.-]")));
        for (int i = 0; i < 12; i += 2)
            n.mac += (i ? QStringLiteral(":") : QString()) + digits.mid(i, 2);
    }
    try {
        n.serial = serialNumber(text);
    } catch (const UsageError &) {
        if (!n.ip && n.mac.isEmpty())
            throw;
    }
    return n;
}

bool UnitName::namesSerial(const Receiver &r) const
{
    return !serial.isEmpty() && r.serial() == serial;
}

bool UnitName::namesAddress(const Receiver &r) const
{
    return (ip && r.ip() == *ip) ||
           (!mac.isEmpty() && r.configurable && macString(r.config).toLower() == mac);
}

Resolved resolve(const UnitName &name, const ReceiverList &heard)
{
    Resolved named;
    QList<QByteArray> bySerial, byAddress;
    const QList<Receiver> &all = heard.all();
    for (int i = 0; i < all.size(); ++i) {
        const bool serial = name.namesSerial(all[i]), address = name.namesAddress(all[i]);
        if (!serial && !address)
            continue;
        named.rows << i;
        if (serial && !bySerial.contains(all[i].serial()))
            bySerial << all[i].serial();
        if (address && !byAddress.contains(all[i].serial()))
            byAddress << all[i].serial();
    }
    QList<QByteArray> serials = bySerial;
    for (const QByteArray &s : std::as_const(byAddress))
        if (!serials.contains(s))
            serials << s;
    named.ambiguous = serials.size() > 1;
    if (serials.size() == 1)
        named.serial = serials.first();
    return named;
}

QString resolvedText(const Resolved &named, const ReceiverList &heard)
{
    QStringList units;
    for (const int i : named.rows) {
        const Receiver &r = heard.all().at(i);
        units << QStringLiteral("%1 (%2 at %3%4)")
                     .arg(displayText(r.serial()), displayText(fieldText(r.head.deviceName)),
                          quadString(r.ip()),
                          r.interfaceName.isEmpty()
                              ? QString()
                              : QStringLiteral(" on ") + quoted(r.interfaceName));
    }
    return units.join(QStringLiteral(", "));
}

QString closestSerials(const QString &text, const QList<Receiver> &heard, int count)
{
    QStringList serials;
    for (const Receiver &r : heard)
        serials << displayText(r.serial());
    serials.removeDuplicates();
    std::stable_sort(serials.begin(), serials.end(), [&](const QString &a, const QString &b) {
        return distance(text, a) < distance(text, b);
    });
    return serials.mid(0, count).join(QStringLiteral(", "));
}

} // namespace Cli
