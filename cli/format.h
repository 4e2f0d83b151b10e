// SPDX-License-Identifier: MIT
//
// How vantrel-cli writes one receiver in full ('show'), the fields 'watch'
// compares and lists of changed settings; find's rows are columns.h's.
#pragma once

#include "diagnosis.h"
#include "reach.h"
#include "settings.h"

#include <QJsonArray>
#include <QJsonObject>

namespace Cli {

// The engine's names are this program's words.
using namespace Core;

QString showText(const Receiver &r, const Reach &reach);
QJsonObject showJson(const Receiver &r, const Reach &reach);

// Every field a watch compares, as name and text, in a fixed order.
QList<Value> watchedFields(const Receiver &r);

// doctor's report: a line per check, with its fix and command below it; or
// one JSON object with the checks, the receivers that answered and the status.
QString checksText(const QList<Check> &checks);
QString checksJson(const QList<Check> &checks, int receivers, int status);

// "port 1024 -> 2000, dhcp off -> on"
QString changesText(const QList<Change> &changes);
// [{"setting": "port", "from": 1024, "to": 2000}, ...], with the names and
// value types of plans and 'show --json'.
QJsonArray changesJson(const QList<Change> &changes);

} // namespace Cli
