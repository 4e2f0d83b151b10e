// SPDX-License-Identifier: MIT
#include "identity.h"

#include <QApplication>
#include <QIcon>

void setDesktopIdentity()
{
    // The desktop finds the entry by this name and the icon in the theme,
    // with the images compiled in for systems that have no theme icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("vantrel"));
    QIcon builtIn(QStringLiteral(":/icons/vantrel.svg"));
    for (const int size : {16, 24, 32, 48, 64, 128, 256})
        builtIn.addFile(QStringLiteral(":/icons/vantrel-%1.png").arg(size), QSize(size, size));
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("vantrel"), builtIn));
}
