// SPDX-License-Identifier: MIT
//
// What find writes of each receiver, field by field: one table gives each
// field its JSON key (also its CSV column and its name for --fields), its
// text column and how it is read, and the text table, CSV and JSON are all
// written from it.
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

struct FindField {
    QString key;    // JSON key, CSV column, --fields name
    QString header; // text column
    int width = 0;  // text column, before the space that ends it
    std::function<QJsonValue(const Receiver &, const FindNotes &)> value;
    // As the text table writes it: escaped for a terminal, yes/no, "-" for none.
    std::function<QString(const Receiver &, const FindNotes &)> text;
    // As CSV writes it where that is not the JSON value: a setting as 'set'
    // and plans take it (on/off).
    std::function<QString(const Receiver &, const FindNotes &)> csv = nullptr;
};
// In the order of CSV's columns.
const QList<FindField> &findFields();

// The columns of a text table or CSV.
struct Columns {
    QList<const FindField *> fields;
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
