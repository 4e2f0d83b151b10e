// SPDX-License-Identifier: MIT
//
// The plan of 'vantrel-cli apply': which settings each receiver gets, read
// from CSV with a header line or from a JSON array of objects. Columns and
// keys are those of 'find --csv' and 'show --json'; columns that only
// describe a receiver (model, mac, firmware, ...) are accepted and ignored,
// so that edited find output is a plan. Nothing here touches the network.
#pragma once

#include "values.h"

#include <QByteArray>
#include <QList>
#include <QString>

namespace Cli {

// The engine's names are this program's words.
using namespace Core;

struct PlanRow {
    int line = 0; // CSV: the line the row starts on; JSON: the element, from 1
    QByteArray serial;
    Discovery::NetworkEdits edits; // an empty cell leaves the setting as it is
};

struct Plan {
    bool json = false;
    QList<PlanRow> rows;
    // "line 3" or "element 3": how errors and tables name a row.
    QString where(const PlanRow &row) const;
};

// `described`: the columns that describe a receiver and set nothing, taken
// and ignored. Throws UsageError naming the line or element and the column.
Plan parsePlan(const QByteArray &bytes, const QStringList &described);
// PATH "-" reads standard input.
Plan loadPlan(const QString &path, const QStringList &described);

} // namespace Cli
