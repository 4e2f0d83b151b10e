// SPDX-License-Identifier: MIT
#include "identity.h"

#include <QFont>
#include <QStringList>

void setDesktopIdentity()
{
    // Windows takes the name from the executable's resources. The forms
    // ask for the family "Sans Serif", which no Windows system has; left to
    // Qt's fallback it can land on any face (a math font under Wine, whose
    // metrics leave the fields blank). Windows' own dialog faces stand in,
    // first found first; the last ones are what Wine offers without its own
    // fonts.
    QFont::insertSubstitutions(QStringLiteral("Sans Serif"),
                               {QStringLiteral("Segoe UI"), QStringLiteral("Tahoma"),
                                QStringLiteral("Microsoft Sans Serif"), QStringLiteral("Arial"),
                                QStringLiteral("DejaVu Sans"), QStringLiteral("Liberation Sans")});
}

void setDesktopIcon()
{
    // Windows takes it from the executable's resources.
}
