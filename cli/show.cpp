// SPDX-License-Identifier: MIT
//
// 'vantrel-cli show': searches until one receiver answers and describes it.
#include "command.h"
#include "format.h"
#include "settings.h"

#include <QJsonDocument>

namespace Cli {

namespace {

const char *const ShowHelp = R"(Usage: vantrel-cli show SERIAL [OPTION]...
Searches until the receiver with serial number SERIAL answers and prints
everything it reports: for the configurable models (Pentra, Marlo, Halvex-R)
identity, MAC address, versions, FPGA, options and network settings; for other
models identity, versions and connection.
)";

const char *const ShowTail = R"(
Exit status: 0 shown, 1 usage error, 2 SERIAL did not answer, 5 output failed,
6 the network cannot be used. With --json a receiver that did not answer is
one object too: serial, found (false), detail.
)";

struct ShowOptions : CommonOptions {
    QByteArray serial;
};

QList<OptionGroup> table(ShowOptions &o)
{
    return {{QStringLiteral("Options:"),
             {jsonOption(o, QStringLiteral("one JSON object; the settings named as in plans: ") +
                                settingKeys()),
              settleOption(o)}},
            searchOptions(o)};
}

void check(ShowOptions &o, const QStringList &positional)
{
    o.serial = serialArgument(QStringLiteral("show"), positional);
}

class Show : public Command {
public:
    Show(const ShowOptions &o, Output &out) : Command(o, out), m_serial(o.serial) {}

private:
    void received(const Receiver &r, int, bool, bool) override
    {
        if (r.serial() == m_serial)
            m_search.conclude({m_serial}, [this] { found(); });
    }

    void windowEnded() override
    {
        const QString detail =
            QStringLiteral("receiver %1 did not answer within %2 ms (%3); %4")
                .arg(displayText(m_serial), QString::number(m_options.search.timeoutMs),
                     m_search.summary(), QLatin1String(DoctorHint));
        m_out.note(detail);
        if (m_options.format == Format::Json) {
            const QJsonObject o{{QStringLiteral("serial"), QString::fromLatin1(m_serial)},
                                {QStringLiteral("found"), false},
                                {QStringLiteral("detail"), detail}};
            if (!m_out.data(QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Indented))))
                return;
        }
        finish(ExitNotFound);
    }

    void found()
    {
        const Receiver &r = *m_search.heard().find(m_serial);
        const Reach where = m_search.explained(r);
        QJsonObject o = showJson(r, where);
        o[QStringLiteral("found")] = true;
        if (m_out.data(m_options.format == Format::Json
                           ? QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Indented))
                           : showText(r, where)))
            finish(ExitOk);
    }

    QByteArray m_serial;
};

} // namespace

const CommandSpec &showCommand()
{
    static const CommandSpec spec = command<Show>(
        "show", "SERIAL", "everything one receiver reports", ShowHelp, ShowTail, table, check);
    return spec;
}

} // namespace Cli
