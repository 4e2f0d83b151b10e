// SPDX-License-Identifier: MIT
//
// vantrel-cli: finds receivers and edits their network settings from a terminal.
#include "command.h"
#include "output.h"

#include <QCoreApplication>

int main(int argc, char **argv)
{
    Cli::prepareProcess(); // before Qt opens any file
    QCoreApplication app(argc, argv);
    Cli::Output out;
    return Cli::run(QCoreApplication::arguments().mid(1), out);
}
