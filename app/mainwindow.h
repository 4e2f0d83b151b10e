// SPDX-License-Identifier: MIT
//
// The program's one window: the Find button, the list of receivers that
// answered, the two UDP sockets of the discovery exchange and, in each list
// row, the reply it shows: its data, how many bytes it really held, and where
// it came in, by name, which survives an adapter plugged in again.
#pragma once

#include "receivers.h"
#include "udp.h"

#include <QList>
#include <QMainWindow>
#include <QUdpSocket>

#include <cstddef>
#include <memory>

class QListWidgetItem;

namespace Ui {
class MainWindow;
}

Q_DECLARE_METATYPE(Core::Receiver)

class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

private slots:
    void OnFind();
    void OnListDoubleClick(QListWidgetItem *item);
    void ReadUDPMessages();
    void SendDiscoverRequest();
    void CloseUdp();

private:
    void TakeReply(Core::Receiver reply);
    bool SendConfiguration(const DeviceConfigRecord &record, std::size_t received,
                           const QString &interfaceName);
    void OpenReplyPort();

    Ui::MainWindow *ui;
    QUdpSocket m_SendSocket;
    QUdpSocket *m_pRecvSocket;
    bool m_bUdpOpen;
    int m_OpenWindows; // listening windows whose CloseUdp has not fired yet
    bool m_bSettingsUsable;

    std::unique_ptr<Core::Reader> m_pReader; // while the reply port is bound
    Core::InterfaceNames m_InterfaceNames;
};
