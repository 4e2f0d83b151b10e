// SPDX-License-Identifier: MIT
//
// How vantrel-cli writes receivers: text rows, CSV, JSON, the full 'show'
// description, the fields 'watch' compares and lists of changed settings.
#pragma once

#include "reach.h"
#include "settings.h"

#include <QJsonArray>
#include <QJsonObject>

namespace Cli {

// What find writes of each receiver besides its own reply.
struct FindNotes {
    QList<QByteArray> conflicts;
    bool duplicateSerial = false;
    Reach reach;
};

QString textHeader();
QString textRow(const Receiver &r, const FindNotes &notes);
QString csvHeader();
QString csvRow(const Receiver &r, const FindNotes &notes);
// One compact JSON object.
QString findJson(const Receiver &r, const FindNotes &notes);

QString showText(const Receiver &r, const Reach &reach);
QJsonObject showJson(const Receiver &r, const Reach &reach);

// Every field a watch compares, as name and text, in a fixed order.
QList<Value> watchedFields(const Receiver &r);

// "port 1024 -> 2000, dhcp off -> on"
QString changesText(const QList<Change> &changes);
// [{"setting": "port", "from": 1024, "to": 2000}, ...], with the names and
// value types of plans and 'show --json'.
QJsonArray changesJson(const QList<Change> &changes);

} // namespace Cli
