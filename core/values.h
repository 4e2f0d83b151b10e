// SPDX-License-Identifier: MIT
//
// The values a user gives on the command line or in a plan, checked for form
// and range. Each check throws UsageError with one line that names the value
// ("--ip", "line 3, column 'ip'") and says what was expected.
#pragma once

#include "discovery.h"

#include <QByteArray>
#include <QList>
#include <QString>

namespace Core {

constexpr int MaxWaitMs = 600000;

struct UsageError {
    QString message;
};

[[noreturn]] void fail(const QString &message);
// A value as it may be quoted in a one-line error: control characters escaped.
QString quoted(const QString &text);

int number(const QString &what, const QString &text, int min, int max);
Discovery::Ipv4 address(const QString &what, const QString &text);
// Why an address is no host's ("a multicast address"); empty for a unicast one.
QString notUnicast(Discovery::Ipv4 address);
// A unicast address, or each host address of a block "A.B.C.D/N" of at most
// 1022 (N from 22 to 32).
QList<Discovery::Ipv4> addressBlock(const QString &what, const QString &text);
bool onOff(const QString &what, const QString &text);
// A time: a bare number is milliseconds; "500ms" and "2s" say their unit.
int duration(const QString &what, const QString &text);
// Latin-1, 1 to 16 bytes, no NUL; never trimmed.
QByteArray serialNumber(const QString &text);

} // namespace Core
