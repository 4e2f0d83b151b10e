// SPDX-License-Identifier: MIT
//
// Validator for the unsigned number fields (ports, address octets). It takes
// plain decimal digits only and refuses a value above the top as soon as it
// is typed, so a field can never hold a number that would be wrapped when it
// is stored; an empty field is Intermediate, a value in range Acceptable.
#pragma once

#include <QIntValidator>

class CStrictIntValidator : public QIntValidator {
    Q_OBJECT
public:
    CStrictIntValidator(int bottom, int top, QObject *parent = nullptr);

    State validate(QString &input, int &pos) const override;
    void fixup(QString &input) const override;
};
