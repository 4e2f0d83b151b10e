// SPDX-License-Identifier: MIT
//
// How a user names one receiver on the command line: its serial number, the
// IPv4 address it reports, or its MAC address in any usual spelling
// (00:11:22:33:44:55, 00-11-22-33-44-55, 0011.2233.4455, 001122334455).
#pragma once

#include "receivers.h"

#include <QStringList>

#include <optional>

namespace Cli {

// The engine's names are this program's words.
using namespace Core;

struct UnitName {
    QString text;      // as given
    QByteArray serial; // empty when the text cannot be a serial number
    std::optional<Discovery::Ipv4> ip;
    QString mac; // "00:11:22:33:44:55", empty when the text is none

    // An empty serial number is never named: an unprogrammed unit has one.
    bool namesSerial(const Receiver &r) const;
    bool namesAddress(const Receiver &r) const;
    // Whether the text can name a unit other than by its serial number.
    bool canNameAddress() const
    {
        return ip || !mac.isEmpty();
    }
};

// Throws UsageError when the text can be none of the three.
UnitName unitName(const QString &text);

// What a name means among the units heard: one serial number, nothing, or
// several receivers (units of more than one kind, such as one's serial number
// and another's address, or one address or MAC that several report). Units
// that share the serial number it names are left to the checks of a send.
struct Resolved {
    QByteArray serial; // when it names one receiver
    QList<int> rows;   // every unit it names
    bool ambiguous = false;
    bool found() const
    {
        return !rows.isEmpty() && !ambiguous;
    }
};
Resolved resolve(const UnitName &name, const ReceiverList &heard);
// "MA1001 (Marlo at 192.0.2.10 on eth0), ...": the units it names, for the
// message that asks for a serial number.
QString resolvedText(const Resolved &named, const ReceiverList &heard);

// "MA1001, MA1002": the serial numbers heard, the closest to `text` first, at
// most `count`.
QString closestSerials(const QString &text, const QList<Receiver> &heard, int count = 8);

} // namespace Cli
