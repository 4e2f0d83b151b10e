// SPDX-License-Identifier: MIT
//
// The receivers heard in one search, merged by serial number, and the ways the
// tool writes them: text rows, CSV, JSON and the full 'show' description.
#pragma once

#include "discovery.h"

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace Cli {

struct Receiver {
    DiscoverHeader head{};
    DeviceConfigRecord config{}; // filled for the configurable models
    DeviceInfoRecord info{};     // filled for every other model
    bool configurable = false;
    bool inUse = false;
    std::size_t size = 0; // bytes of the datagram
    QHostAddress from;
    int interfaceIndex = 0; // where the reply came in; 0 when unknown

    QByteArray serial() const;
    Discovery::Quad ip() const;
};

// A valid reply of at least the head's 56 bytes; nothing beyond a record's
// size is read.
std::optional<Receiver> parseReply(const QByteArray &datagram, const QHostAddress &from,
                                   int interfaceIndex);

class ReceiverList {
public:
    // Bounds memory and time when a network floods the reply port.
    static constexpr int MaxReceivers = 4096;
    static constexpr int MaxAddressesPerSerial = 16;

    // Takes a reply in: a known serial keeps its place and gets the newest data.
    // Returns the receiver's index, or -1 when the list is full.
    int add(const Receiver &r, bool *isNew = nullptr);
    bool overflowed() const
    {
        return m_overflowed;
    }
    const QList<Receiver> &all() const
    {
        return m_receivers;
    }
    const Receiver *find(const QByteArray &serial) const;
    // Serial numbers of the other receivers that report the same IP address.
    QStringList conflicts(int index) const;
    // Addresses other than the current one that this serial answered from.
    QList<Discovery::Quad> otherAddresses(const QByteArray &serial) const;

private:
    QList<Receiver> m_receivers;
    QHash<QByteArray, int> m_index;                        // serial -> index
    QHash<QByteArray, QList<Discovery::Quad>> m_addresses; // serial -> addresses seen
    bool m_overflowed = false;
};

// Device text as it may be shown on a terminal: Latin-1, control characters
// replaced, so that a receiver cannot send escape sequences to the terminal.
QString displayText(const std::string &bytes);
QString version(const std::uint8_t (&field)[2]);
QString quadString(const Discovery::Quad &q);
QString macString(const DeviceConfigRecord &r);

QString textHeader();
QString textRow(const Receiver &r, const QStringList &conflicts);
QString csvHeader();
QString csvRow(const Receiver &r, const QStringList &conflicts);
QJsonObject findJson(const Receiver &r, const QStringList &conflicts);

QString showText(const Receiver &r);
QJsonObject showJson(const Receiver &r);

} // namespace Cli
