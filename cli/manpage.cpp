// SPDX-License-Identifier: MIT
//
// A build step: writes vantrel-cli's manual page from its template, with the
// option sections taken from the tables the parser uses, so that the page
// names exactly the options the program takes and says what its help says.
#include "command.h"

#include <QFile>

#include <cstdio>

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fputs("usage: vantrel-cli-manpage TEMPLATE PAGE\n", stderr);
        return 1;
    }
    QFile in(QString::fromLocal8Bit(argv[1]));
    QFile out(QString::fromLocal8Bit(argv[2]));
    if (!in.open(QIODevice::ReadOnly) || !out.open(QIODevice::WriteOnly)) {
        std::fprintf(stderr, "vantrel-cli-manpage: %s\n",
                     qPrintable(in.isOpen() ? out.errorString() : in.errorString()));
        return 1;
    }
    const QByteArray marker = ".\\\" @options";
    QByteArray page = in.readAll();
    if (!page.contains(marker + '\n')) {
        std::fprintf(stderr, "vantrel-cli-manpage: no line '%s' in %s\n", marker.constData(),
                     argv[1]);
        return 1;
    }
    page.replace(marker + '\n', Cli::manualOptions().toUtf8());
    return out.write(page) == page.size() && out.flush() ? 0 : 1;
}
