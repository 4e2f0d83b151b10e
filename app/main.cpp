// SPDX-License-Identifier: MIT
#include "mainwindow.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    MainWindow window; // its first search goes out as it is built
#ifndef Q_OS_WIN
    // Windows takes the icon from the executable's resource; elsewhere the
    // desktop finds the entry by this name and the icon in the theme, with
    // the images compiled in for systems that have no theme icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("vantrel"));
    QIcon builtIn(QStringLiteral(":/icons/vantrel.svg"));
    for (const int size : {16, 24, 32, 48, 64, 128, 256})
        builtIn.addFile(QStringLiteral(":/icons/vantrel-%1.png").arg(size), QSize(size, size));
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("vantrel"), builtIn));
#endif
    window.show();
    return app.exec();
}
