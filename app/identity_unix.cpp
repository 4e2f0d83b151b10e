// SPDX-License-Identifier: MIT
#include "identity.h"

#include <QApplication>
#include <QIcon>

void setDesktopIdentity()
{
    // The desktop finds the entry by this name.
    QGuiApplication::setDesktopFileName(QStringLiteral("vantrel"));
}

void setDesktopIcon()
{
    // The theme's icon where the package installed one; else the images
    // compiled in, decoded only then.
    const QIcon themed = QIcon::fromTheme(QStringLiteral("vantrel"));
    if (!themed.isNull() && !themed.availableSizes().isEmpty()) {
        QApplication::setWindowIcon(themed);
        return;
    }
    QIcon builtIn(QStringLiteral(":/icons/vantrel.svg"));
    for (const int size : {16, 24, 32, 48, 64, 128, 256})
        builtIn.addFile(QStringLiteral(":/icons/vantrel-%1.png").arg(size), QSize(size, size));
    QApplication::setWindowIcon(builtIn);
}
