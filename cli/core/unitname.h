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

struct UnitName {
    QString text;      // as given
    QByteArray serial; // empty when the text cannot be a serial number
    std::optional<quint32> ip;
    QString mac; // "00:11:22:33:44:55", empty when the text is none

    // A serial number equal to the text names its receiver before any
    // address or MAC does.
    bool namesSerial(const Receiver &r) const;
    bool namesAddress(const Receiver &r) const;
};

// Throws UsageError when the text can be none of the three.
UnitName unitName(const QString &text);

// The serial numbers of the receivers it names, serial matches first; one
// receiver heard twice counts once.
QList<QByteArray> serialsNamed(const UnitName &name, const QList<Receiver> &heard);

// "MA1001, MA1002": the serial numbers heard, the closest to `text` first, at
// most `count`.
QString closestSerials(const QString &text, const QList<Receiver> &heard, int count = 8);

} // namespace Cli
