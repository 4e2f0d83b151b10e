// SPDX-License-Identifier: MIT
//
// The network settings a receiver takes, each named once: its option, its
// plan column and JSON key, its label, its type, and how it is read from a
// reply and given on the command line or in a plan. Options, plans, show,
// the changes of set, apply and watch, and the checks all take them from here.
#pragma once

#include "receivers.h"

#include <QJsonValue>
#include <QList>
#include <QString>
#include <QStringList>

namespace Core {

struct Setting {
    enum Type { Address, Port, Flag, Fpga };
    const char *option;    // "alt-udp": --alt-udp, and its name in text
    const char *key;       // "altUdp": plan column and JSON key
    const char *label;     // "Alternative UDP": as show writes it
    const char *valueName; // "on|off"
    const char *help;
    Type type;
    bool (*named)(const Discovery::NetworkEdits &e);
    void (*clear)(Discovery::NetworkEdits &e);
    void (*parse)(Discovery::NetworkEdits &e, Type type, const QString &what, const QString &text);
    QJsonValue (*read)(const DeviceConfigRecord &r);

    // Takes a value as an option or a plan cell gives it; `what` names it in
    // errors. Throws UsageError.
    void give(Discovery::NetworkEdits &e, const QString &what, const QString &text) const
    {
        parse(e, type, what, text);
    }
    QString text(const QJsonValue &value) const;
};

// In the order the receiver's record holds them.
const QList<Setting> &settings();
// Whether the edits name any setting: ask for a change.
bool hasEdits(const Discovery::NetworkEdits &e);
const Setting *settingWithKey(const QString &key);
// "ip, port, ..." by key, or "--ip, --port, ..." by option.
QString settingKeys();
QString settingOptions();

// A value as text and as JSON, with the names of both.
struct Value {
    QString name; // as text names it: "alt-udp", "in use"
    QString key;  // as JSON names it: "altUdp", "inUse"
    QJsonValue json;
    QString text;
};
// The settings named in `e` (all when `e` is null), as `r` has them.
QList<Value> namedValues(const DeviceConfigRecord &r, const Discovery::NetworkEdits *e = nullptr);

struct Change {
    QString setting, key;
    QJsonValue from, to; // null: a field the other model does not have
    QString fromText, toText;
};
// What differs from `before` to `after`, field by field, in the order of `after`.
QList<Change> changesBetween(const QList<Value> &before, const QList<Value> &after);

// The edits of `e` that change `before` into `after` (which has them all
// applied): a setting named with the value it has already is left out.
Discovery::NetworkEdits changingEdits(const DeviceConfigRecord &before,
                                      const DeviceConfigRecord &after,
                                      const Discovery::NetworkEdits &e);

// "port is 1024, expected 2000" for every named setting where `seen` differs.
QStringList differences(const DeviceConfigRecord &seen, const DeviceConfigRecord &wanted,
                        const Discovery::NetworkEdits &e);

} // namespace Core
