// SPDX-License-Identifier: MIT
#include "identity.h"
#include "mainwindow.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    setDesktopIdentity();
    MainWindow window; // its first search goes out as it is built
    setDesktopIcon();
    window.show();
    return app.exec();
}
