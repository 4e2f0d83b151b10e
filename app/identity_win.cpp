// SPDX-License-Identifier: MIT
#include "identity.h"

#include <QApplication>
#include <QFont>

void setDesktopIdentity()
{
    // Windows takes the name and the icon from the executable's resources.
    // The forms ask for the family "Sans Serif", which no Windows system has:
    // the system's dialog font stands in for it, as the system's own font
    // substitution would, before any widget resolves a font.
    QFont::insertSubstitution(QStringLiteral("Sans Serif"), QApplication::font().family());
}
