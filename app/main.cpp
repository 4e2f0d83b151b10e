// SPDX-License-Identifier: MIT
#include "identity.h"
#include "mainwindow.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    MainWindow window; // its first search goes out as it is built
    setDesktopIdentity();
    window.show();
    return app.exec();
}
