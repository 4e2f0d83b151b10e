// SPDX-License-Identifier: MIT
#include "values.h"

#include <QRegularExpression>

using namespace Discovery;

namespace Core {

[[noreturn]] void fail(const QString &message)
{
    throw UsageError{message};
}

QString quoted(const QString &text)
{
    QString out;
    for (const QChar c : text) {
        if (c == QLatin1Char('\n'))
            out += QStringLiteral("\\n");
        else if (c.unicode() < 0x20 || (c.unicode() >= 0x7F && c.unicode() < 0xA0))
            out += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out;
}

int number(const QString &option, const QString &text, int min, int max)
{
    // Whole strings only: "$" alone would also match before a final newline.
    static const QRegularExpression digits(
        QRegularExpression::anchoredPattern(QStringLiteral("[0-9]{1,9}")));
    bool ok = digits.match(text).hasMatch();
    const int value = ok ? text.toInt(&ok) : 0;
    if (!ok || value < min || value > max)
        fail(QStringLiteral("%1: '%2' is not a number from %3 to %4")
                 .arg(option, quoted(text), QString::number(min), QString::number(max)));
    return value;
}

Ipv4 address(const QString &option, const QString &text)
{
    // No leading zeros: some parsers read "010" as octal, so it is ambiguous.
    static const QRegularExpression form(QRegularExpression::anchoredPattern(
        QStringLiteral("(0|[1-9][0-9]{0,2})\\.(0|[1-9][0-9]{0,2})\\.(0|[1-9][0-9]{0,2})\\."
                       "(0|[1-9][0-9]{0,2})")));
    const QRegularExpressionMatch m = form.match(text);
    quint32 value = 0;
    for (int i = 0; m.hasMatch() && i < 4; ++i) {
        const int octet = m.captured(i + 1).toInt();
        if (octet > 255)
            break;
        value = value << 8 | quint32(octet);
        if (i == 3)
            return Ipv4(value);
    }
    fail(QStringLiteral("%1: '%2' is not an IPv4 address A.B.C.D (four numbers 0 to 255, no "
                        "leading zeros)")
             .arg(option, quoted(text)));
}

QString notUnicast(Ipv4 ip)
{
    const quint32 a = ip.value();
    if (a == 0xFFFFFFFFu)
        return QStringLiteral("the limited broadcast address");
    if ((a >> 24) == 0)
        return QStringLiteral("in 0.0.0.0/8, which no host may use");
    if ((a >> 24) == 127)
        return QStringLiteral("a loopback address");
    if ((a >> 28) == 0xE)
        return QStringLiteral("a multicast address");
    if ((a >> 28) == 0xF)
        return QStringLiteral("in 240.0.0.0/4, reserved");
    return QString();
}

QList<Ipv4> addressBlock(const QString &what, const QString &text)
{
    const int slash = text.indexOf(QLatin1Char('/'));
    const Ipv4 base = address(what, slash < 0 ? text : text.left(slash));
    // Each address goes by the routing table: a broadcast would leave by
    // the default route whatever -i says, a multicast group asks nobody.
    const QString problem = notUnicast(base);
    if (!problem.isEmpty())
        fail(QStringLiteral("%1: '%2' is %3 (expected a receiver's unicast address or block)")
                 .arg(what, quoted(text), problem));
    if (slash < 0)
        return {base};
    const QString prefixText = text.mid(slash + 1);
    // A /22 asks 1022 addresses; a larger block would take minutes and flood a router.
    const int prefix =
        number(what + QStringLiteral(" prefix of '") + quoted(text) + QLatin1Char('\''), prefixText,
               0, 32);
    if (prefix < 22)
        fail(QStringLiteral("%1: '%2' holds %3 addresses; at most a /22 (1022 host addresses) "
                            "is asked")
                 .arg(what, quoted(text), QString::number(1ull << (32 - prefix))));
    const quint32 mask = prefix == 0 ? 0 : ~quint32(0) << (32 - prefix);
    const quint32 network = base.value() & mask;
    const quint32 last = network | ~mask;
    // /31 and /32 have no network or broadcast address to leave out.
    const quint32 first = prefix >= 31 ? network : network + 1;
    const quint32 end = prefix >= 31 ? last : last - 1;
    QList<Ipv4> hosts;
    for (quint32 a = first; a <= end && a >= first; ++a)
        hosts << Ipv4(a);
    return hosts;
}

bool onOff(const QString &option, const QString &text)
{
    if (text == QLatin1String("on"))
        return true;
    if (text == QLatin1String("off"))
        return false;
    fail(QStringLiteral("%1: '%2' is neither on nor off").arg(option, quoted(text)));
}

QByteArray serialNumber(const QString &text)
{
    if (text.isEmpty())
        fail(QStringLiteral("the serial number is empty"));
    for (const QChar c : text) {
        if (c.unicode() == 0)
            fail(QStringLiteral("serial number '%1' holds a NUL byte, which ends every serial "
                                "number a receiver reports")
                     .arg(quoted(text)));
        if (c.unicode() > 0xFF)
            fail(QStringLiteral("serial number '%1': receivers report serial numbers in "
                                "single-byte characters")
                     .arg(quoted(text)));
    }
    const QByteArray serial = text.toLatin1();
    if (serial.size() > int(sizeof(DiscoverHeader::serialNumber)))
        fail(QStringLiteral("serial number '%1' is longer than the 16 bytes a receiver reports")
                 .arg(quoted(text)));
    return serial;
}

int duration(const QString &option, const QString &text)
{
    static const QRegularExpression form(
        QRegularExpression::anchoredPattern(QStringLiteral("([0-9]{1,9})(ms|s)?")));
    const QRegularExpressionMatch m = form.match(text);
    const qint64 value =
        m.hasMatch() ? m.captured(1).toLongLong() * (m.captured(2) == QLatin1String("s") ? 1000 : 1)
                     : 0;
    if (value < 1 || value > MaxWaitMs)
        fail(QStringLiteral("%1: '%2' is not a number from 1 to %3 ms (a bare number is "
                            "milliseconds; or with a unit, as in 500ms or 2s)")
                 .arg(option, quoted(text), QString::number(MaxWaitMs)));
    return int(value);
}

} // namespace Core
