// SPDX-License-Identifier: MIT
#include "firewall.h"

#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "system.h"

namespace Cli {

namespace {

enum class Verdict { None, Accept, Drop };

struct Ruleset {
    // Rules of each chain, in order, by "family table chain".
    QHash<QString, QList<QJsonArray>> rules;
    quint16 port = 0;
};

QString chainKey(const QJsonObject &o, const QString &chainField)
{
    return o.value(QStringLiteral("family")).toString() + QLatin1Char(' ') +
           o.value(QStringLiteral("table")).toString() + QLatin1Char(' ') +
           o.value(chainField).toString();
}

// Whether `right` (a number, a name, a set or a range) holds `value`.
bool holds(const QJsonValue &right, const QJsonValue &value)
{
    if (right.isArray() || right.toObject().contains(QStringLiteral("set"))) {
        const QJsonArray set = right.isArray()
                                   ? right.toArray()
                                   : right.toObject().value(QStringLiteral("set")).toArray();
        return std::any_of(set.begin(), set.end(),
                           [&](const QJsonValue &v) { return holds(v, value); });
    }
    if (right.toObject().contains(QStringLiteral("range"))) {
        const QJsonArray r = right.toObject().value(QStringLiteral("range")).toArray();
        return value.isDouble() && r.size() == 2 && r[0].toDouble() <= value.toDouble() &&
               value.toDouble() <= r[1].toDouble();
    }
    return right == value;
}

// Whether one match of a rule holds for a new UDP datagram to `port` from a
// wire; false for anything it cannot tell, so that only clear rules count.
bool matches(const QJsonObject &m, quint16 port)
{
    const QJsonObject left = m.value(QStringLiteral("left")).toObject();
    const QJsonValue right = m.value(QStringLiteral("right"));
    const QString op = m.value(QStringLiteral("op")).toString();
    bool holdsIt = false;
    if (left.contains(QStringLiteral("payload"))) {
        const QJsonObject p = left.value(QStringLiteral("payload")).toObject();
        const QString protocol = p.value(QStringLiteral("protocol")).toString();
        const QString field = p.value(QStringLiteral("field")).toString();
        if (protocol == QLatin1String("udp") && field == QLatin1String("dport"))
            holdsIt = holds(right, port);
        else if (protocol == QLatin1String("ip") && field == QLatin1String("protocol"))
            holdsIt = holds(right, QStringLiteral("udp")) || holds(right, 17);
        else
            return false;
    } else if (left.contains(QStringLiteral("meta"))) {
        const QString key =
            left.value(QStringLiteral("meta")).toObject().value(QStringLiteral("key")).toString();
        if (key == QLatin1String("l4proto"))
            holdsIt = holds(right, QStringLiteral("udp")) || holds(right, 17);
        else if (key == QLatin1String("iif") || key == QLatin1String("iifname"))
            holdsIt = !holds(right, QStringLiteral("lo")); // any wire but loopback
        else
            return false;
    } else if (left.contains(QStringLiteral("ct"))) {
        // A reply to a broadcast request is new to connection tracking.
        if (left.value(QStringLiteral("ct")).toObject().value(QStringLiteral("key")).toString() !=
            QLatin1String("state"))
            return false;
        holdsIt = holds(right, QStringLiteral("new"));
    } else {
        return false;
    }
    return op == QLatin1String("!=") ? !holdsIt : holdsIt;
}

// The first verdict of a chain for the datagram; `dropIn` names the chain of
// the dropping rule.
Verdict walk(const Ruleset &set, const QString &key, int depth, QString *dropIn)
{
    if (depth > 16)
        return Verdict::None;
    for (const QJsonArray &expr : set.rules.value(key)) {
        bool all = true;
        for (const QJsonValue &e : expr) {
            const QJsonObject o = e.toObject();
            if (o.contains(QStringLiteral("match")) &&
                !matches(o.value(QStringLiteral("match")).toObject(), set.port)) {
                all = false;
                break;
            }
        }
        if (!all)
            continue;
        for (const QJsonValue &e : expr) {
            const QJsonObject o = e.toObject();
            if (o.contains(QStringLiteral("accept")))
                return Verdict::Accept;
            if (o.contains(QStringLiteral("drop")) || o.contains(QStringLiteral("reject"))) {
                *dropIn = key.section(QLatin1Char(' '), 2);
                return Verdict::Drop;
            }
            for (const char *jump : {"jump", "goto"}) {
                if (!o.contains(QLatin1String(jump)))
                    continue;
                const QString target = o.value(QLatin1String(jump))
                                           .toObject()
                                           .value(QStringLiteral("target"))
                                           .toString();
                const Verdict v =
                    walk(set, key.section(QLatin1Char(' '), 0, 1) + QLatin1Char(' ') + target,
                         depth + 1, dropIn);
                if (v != Verdict::None || QLatin1String(jump) == QLatin1String("goto"))
                    return v;
            }
            if (o.contains(QStringLiteral("return")))
                return Verdict::None;
        }
    }
    return Verdict::None;
}

} // namespace

QList<FirewallDrop> firewallDrops(const QByteArray &nftJson, quint16 port)
{
    const QJsonArray items =
        QJsonDocument::fromJson(nftJson).object().value(QStringLiteral("nftables")).toArray();
    Ruleset set;
    set.port = port;
    QList<QJsonObject> baseChains;
    QHash<QString, bool> ufwTables;
    for (const QJsonValue &item : items) {
        const QJsonObject o = item.toObject();
        if (o.contains(QStringLiteral("rule"))) {
            const QJsonObject r = o.value(QStringLiteral("rule")).toObject();
            set.rules[chainKey(r, QStringLiteral("chain"))]
                << r.value(QStringLiteral("expr")).toArray();
        } else if (o.contains(QStringLiteral("chain"))) {
            const QJsonObject c = o.value(QStringLiteral("chain")).toObject();
            const QString hook = c.value(QStringLiteral("hook")).toString();
            const QString family = c.value(QStringLiteral("family")).toString();
            if (((hook == QLatin1String("input") || hook == QLatin1String("prerouting")) &&
                 (family == QLatin1String("ip") || family == QLatin1String("inet"))) ||
                (hook == QLatin1String("ingress") &&
                 (family == QLatin1String("netdev") || family == QLatin1String("inet"))))
                baseChains << c;
            if (c.value(QStringLiteral("name")).toString().startsWith(QLatin1String("ufw-")))
                ufwTables[chainKey(c, QStringLiteral("name")).section(QLatin1Char(' '), 0, 1)] =
                    true;
        }
    }
    QList<FirewallDrop> drops;
    for (const QJsonObject &c : std::as_const(baseChains)) {
        const QString key = chainKey(c, QStringLiteral("name"));
        QString dropIn;
        Verdict v = walk(set, key, 0, &dropIn);
        if (v == Verdict::None &&
            c.value(QStringLiteral("policy")).toString() == QLatin1String("drop"))
            v = Verdict::Drop;
        if (v != Verdict::Drop)
            continue;
        FirewallDrop d{c.value(QStringLiteral("family")).toString(),
                       c.value(QStringLiteral("table")).toString(),
                       c.value(QStringLiteral("name")).toString(),
                       dropIn.isEmpty() ? QStringLiteral("policy")
                                        : QStringLiteral("rule in ") + dropIn,
                       QString(),
                       QString()};
        if (d.table == QLatin1String("firewalld")) {
            d.manager = QStringLiteral("firewalld");
            d.command = QStringLiteral("firewall-cmd --add-port=%1/udp").arg(port);
        } else if (ufwTables.value(d.family + QLatin1Char(' ') + d.table)) {
            d.manager = QStringLiteral("ufw");
            d.command = QStringLiteral("ufw allow %1/udp").arg(port);
        } else {
            d.command = QStringLiteral("nft insert rule %1 %2 %3 udp dport %4 accept")
                            .arg(Core::System::Fix::shellWord(d.family),
                                 Core::System::Fix::shellWord(d.table),
                                 Core::System::Fix::shellWord(d.chain), QString::number(port));
        }
        drops << d;
    }
    return drops;
}

} // namespace Cli
