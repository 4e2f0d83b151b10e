// SPDX-License-Identifier: MIT
//
// vantrel-cli: finds receivers and edits their network settings from a terminal.
#include "command.h"

#include <QCoreApplication>

int main(int argc, char **argv)
{
    Cli::prepareProcess(); // before Qt opens any file
    QCoreApplication app(argc, argv);
    return Cli::run(QCoreApplication::arguments().mid(1));
}
