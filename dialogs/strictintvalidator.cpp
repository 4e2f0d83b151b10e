// SPDX-License-Identifier: MIT
#include "strictintvalidator.h"

CStrictIntValidator::CStrictIntValidator(int bottom, int top, QObject *parent)
    : QIntValidator(bottom, top, parent)
{
}

QValidator::State CStrictIntValidator::validate(QString &input, int &) const
{
    if (input.isEmpty())
        return Intermediate;
    // No signs, blanks or group separators: the fields are read back with a
    // plain base-10 conversion, which would turn any of them into 0.
    qint64 value = 0;
    for (const QChar c : input) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return Invalid;
        value = value * 10 + (c.unicode() - '0');
        if (value > top())
            return Invalid;
    }
    return value < bottom() ? Intermediate : Acceptable;
}

void CStrictIntValidator::fixup(QString &) const
{
    // Nothing to repair: anything that is not acceptable was refused or is
    // still incomplete, and the owner decides what an incomplete field means.
}
