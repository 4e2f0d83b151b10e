// SPDX-License-Identifier: MIT
//
// Reading and pressing the main window as a user would, by object name.
#pragma once

#include "discovery.h"
#include "testnet.h"

#include <QHostAddress>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <QUdpSocket>

namespace WindowDriver {

inline QListWidget *list(QWidget &window)
{
    return window.findChild<QListWidget *>(QStringLiteral("listWidget"));
}

inline QStringList rows(QWidget &window)
{
    QStringList out;
    for (int i = 0; i < list(window)->count(); ++i)
        out << list(window)->item(i)->text();
    return out;
}

inline void clickFind(QWidget &window)
{
    QTest::mouseClick(window.findChild<QPushButton *>(QStringLiteral("pushButtonFind")),
                      Qt::LeftButton);
}

// True when nothing holds the reply port, the window included.
inline bool replyPortFree()
{
    return !TestNet::udpPortBound(Discovery::ReplyPort);
}

} // namespace WindowDriver
