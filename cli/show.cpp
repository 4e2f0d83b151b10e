// SPDX-License-Identifier: MIT
//
// 'vantrel-cli show': searches until one receiver answers and describes it.
#include "columns.h"
#include "command.h"
#include "format.h"
#include "unitname.h"

#include <QJsonDocument>

namespace Cli {

namespace {

const char *const ShowHelp = R"(Usage: vantrel-cli show RECEIVER [OPTION]...
Searches until the receiver answers and prints
everything it reports: for the configurable models (Pentra, Marlo, Halvex-R)
identity, MAC address, versions, FPGA, options and network settings; for other
models identity, versions and connection.
)";

const char *const ShowTail = R"(
RECEIVER is its serial number, the IPv4 address it reports or its MAC address
(00:11:22:33:44:55, 00-11-22-33-44-55, 0011.2233.4455 or 001122334455). A
serial number is shown as soon as it answers; an address or MAC after the
whole search, since several receivers may report it. A name that fits more
than one receiver (one's serial number and another's address, or an address
two report) shows none and lists them. An empty serial number is never named.

Exit status: 0 shown, 1 usage error, 2 RECEIVER did not answer, 4 RECEIVER
names more than one receiver, 5 output failed, 6 the network cannot be used.
With --json a receiver that was not shown is one object too: serial, found
(false), detail.
)";

struct ShowOptions : CommonOptions {
    UnitName name;
};

QList<OptionGroup> table(ShowOptions &o)
{
    return {{QStringLiteral("Options:"),
             {jsonOption(o, QStringLiteral("one JSON object: %1 (what the model does not "
                                           "report is left out; the settings named as in "
                                           "plans)")
                                .arg(showKeys())),
              settleOption(o)}},
            searchOptions(o)};
}

void check(ShowOptions &o, const QStringList &positional)
{
    o.name = unitArgument(QStringLiteral("show"), positional);
}

class Show : public Command {
public:
    Show(const ShowOptions &o, Output &out) : Command(o, out), m_name(o.name) {}

private:
    void received(const Receiver &r, int, bool, bool) override
    {
        // A serial number names one receiver at its first reply; an address
        // or MAC may be reported by several, so the whole window decides.
        if (m_name.canNameAddress() || !m_name.namesSerial(r))
            return;
        m_serial = r.serial();
        m_search.conclude({m_serial}, [this] { found(); });
    }

    void windowEnded() override
    {
        const Resolved named = resolve(m_name, m_search.heard());
        if (named.found()) {
            m_serial = named.serial;
            m_search.conclude({m_serial}, [this] { found(); });
            return;
        }
        const QString detail =
            named.ambiguous
                ? QStringLiteral("%1 names more than one receiver: %2; give the serial number "
                                 "of one")
                      .arg(quoted(m_name.text), resolvedText(named, m_search.heard()))
                : notFound(m_name);
        m_out.note(detail);
        if (m_options.format == Format::Json) {
            const QJsonObject o{{QStringLiteral("serial"), m_name.text},
                                {QStringLiteral("found"), false},
                                {QStringLiteral("detail"), detail}};
            if (!m_out.data(QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Indented))))
                return;
        }
        finish(named.ambiguous ? ExitRefused : ExitNotFound);
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

    UnitName m_name;
    QByteArray m_serial; // of the receiver that answered to the name
};

} // namespace

const CommandSpec &showCommand()
{
    static const CommandSpec spec = command<Show>(
        "show", "RECEIVER", "everything one receiver reports", ShowHelp, ShowTail, table, check);
    return spec;
}

} // namespace Cli
