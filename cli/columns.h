// SPDX-License-Identifier: MIT
//
// What vantrel-cli says of a receiver, field by field: one table gives each
// field its JSON key (also its CSV column and its name for --fields), find's
// text column, show's line, its name in watch's changes and how it is read.
// find's table, CSV and JSON, show's text and JSON and watch's changes are
// all written from it.
#pragma once

#include "receivers.h"

#include <QJsonObject>

#include <QJsonValue>
#include <QList>
#include <QString>

#include <functional>

namespace Cli {

// The engine's names are this program's words.
using namespace Core;

// What find knows of a receiver besides its own reply.
struct FindNotes {
    QList<QByteArray> conflicts;
    bool duplicateSerial = false;
    Reach reach;
};

struct Field {
    QString key;        // JSON key, CSV column, --fields name
    QString header;     // find's text column; empty: not one of find's fields
    int width = 0;      // text column, before the space that ends it
    QString label;      // show's line; empty: no line of show's text
    QString name;       // in watch's changes; empty: watch does not compare it
    bool shown = false; // a key of 'show --json'
    // Null where the receiver's model has no such field.
    std::function<QJsonValue(const Receiver &, const FindNotes &)> value;
    // As text writes it where that is not the JSON value: escaped for a
    // terminal, yes/no.
    std::function<QString(const Receiver &, const FindNotes &)> text = nullptr;
    // As CSV writes it where that is not the JSON value: a setting as 'set'
    // and plans take it (on/off).
    std::function<QString(const Receiver &, const FindNotes &)> csv = nullptr;
    QString note = {}; // find's help says it after the key
};
// In the order of show's lines.
const QList<Field> &fields();
// find's fields, in the order of CSV's columns.
const QList<const Field *> &findFields();
// The keys of find's and show's output that only describe a receiver: a
// plan made of that output takes and ignores them.
QStringList describingKeys();
// "model, serial, ..., mac (empty or null ...), ...": find's fields in CSV
// order, with their notes, for the help.
QString findFieldsHelp();
// "model, mac, ...": the names of the fields watch compares.
QString watchedNames();
// "model, serial, ...": the keys of 'show --json'.
QString showKeys();
// As text writes it; "-" for none.
QString cellText(const Field &f, const Receiver &r, const FindNotes &notes);

// The columns of a text table or CSV.
struct Columns {
    QList<const Field *> fields;
    bool notes = false; // the text table's NOTES column, last
};
// "ip,serial,...": throws UsageError naming the valid names.
Columns columnsNamed(const QString &option, const QString &list);
Columns csvColumns();
// The interface column only for more than one of `interfaces`, and where
// their names leave the row within 80 columns.
Columns textColumns(const QStringList &interfaces);

QString textHeader(const Columns &c);
QString textRow(const Receiver &r, const FindNotes &notes, const Columns &c);
QString csvHeader(const Columns &c);
QString csvRow(const Receiver &r, const FindNotes &notes, const Columns &c);
// One compact JSON object with every field, keys in QJsonObject's order.
QString findJson(const Receiver &r, const FindNotes &notes);
// The fields with these keys, as find's JSON gives them: what show and watch
// say of a receiver in find's words.
QJsonObject fieldsJson(const Receiver &r, const FindNotes &notes, const QStringList &keys);

} // namespace Cli
