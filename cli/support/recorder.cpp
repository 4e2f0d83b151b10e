// SPDX-License-Identifier: MIT
#include "recorder.h"

using namespace Discovery;

namespace Cli {

void Recorder::received(const QByteArray &bytes, const QHostAddress &from, quint16 fromPort,
                        const QHostAddress &to, int interfaceIndex, const QString &interfaceName,
                        const char *result)
{
    if (m_capture.isOpen())
        m_capture.received(bytes, from, fromPort, to, ReplyPort, interfaceIndex);
    if (m_log.isOpen())
        m_log.line(QStringLiteral("recv from=%1:%2 to=%3:%4 if=%5 size=%6 result=%7 hex=%8")
                       .arg(from.toString(), QString::number(fromPort), to.toString(),
                            QString::number(ReplyPort),
                            interfaceName.isEmpty() ? QStringLiteral("-") : interfaceName,
                            QString::number(bytes.size()), QLatin1String(result),
                            QString::fromLatin1(bytes.toHex())));
}

void Recorder::sent(const QByteArray &bytes, const Core::Destination &to, const QString &error)
{
    m_log.line(QStringLiteral("send from=0.0.0.0:%1 to=%2:%3 if=%4 size=%5%6 hex=%7")
                   .arg(ReplyPort)
                   .arg(to.address.toString())
                   .arg(DevicePort)
                   .arg(to.interfaceIndex > 0 ? to.interfaceName : QStringLiteral("-"))
                   .arg(bytes.size())
                   .arg(error.isEmpty()
                            ? QString()
                            : QStringLiteral(" error=") + QString(error).replace(' ', '_'),
                        QString::fromLatin1(bytes.toHex())));
    if (error.isEmpty() && m_capture.isOpen())
        m_capture.sent(bytes, ReplyPort, to.address, DevicePort, to.interfaceIndex);
}

} // namespace Cli
