// SPDX-License-Identifier: MIT
//
// The exchange's tap for vantrel-cli: each datagram in and out as a line
// of the support log and a packet of the capture, whichever is open.
#pragma once

#include "capture.h"
#include "exchange.h"
#include "logfile.h"

namespace Cli {

// The engine's names are this program's words.
using namespace Core;

class Recorder : public Core::Tap {
public:
    Recorder(Log &log, Capture &capture) : m_log(log), m_capture(capture) {}
    bool wantsAll() const override
    {
        return m_log.isOpen() || m_capture.isOpen();
    }
    void received(const QByteArray &bytes, const QHostAddress &from, quint16 fromPort,
                  const QHostAddress &to, int interfaceIndex, const QString &interfaceName,
                  const char *result) override;
    void sent(const QByteArray &bytes, const Core::Destination &to, const QString &error) override;

private:
    Log &m_log;
    Capture &m_capture;
};

} // namespace Cli
