// SPDX-License-Identifier: MIT
//
// The program's one window: the Find button, the list of receivers that
// answered, the two UDP sockets of the discovery exchange and, behind each
// list row, the reply that row shows (kept by row index, so the list's row
// count is the number of stored devices).
#pragma once

#include "discovery.h"

#include <QHash>
#include <QMainWindow>
#include <QUdpSocket>

#include <cstddef>
#include <cstdint>

class QListWidgetItem;

namespace Ui {
class MainWindow;
}

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
    void TakeReply(const std::uint8_t *data, std::size_t size, int interfaceIndex);
    void AddListEntry(int row, bool inUse);
    bool SendConfiguration(const DeviceConfigRecord &record, std::size_t received,
                           const QString &interfaceName);
    QString InterfaceName(int index);
    void OpenReplyPort();

    Ui::MainWindow *ui;
    QUdpSocket m_SendSocket;
    QUdpSocket *m_pRecvSocket;
    bool m_bUdpOpen;
    int m_OpenWindows; // listening windows whose CloseUdp has not fired yet
    bool m_bSettingsUsable;

    DiscoverHeader m_Headers[Discovery::MaxDevices];
    DeviceConfigRecord m_ConfigRecords[Discovery::MaxDevices];
    DeviceInfoRecord m_InfoRecords[Discovery::MaxDevices];
    std::size_t m_ReplySizes[Discovery::MaxDevices]; // bytes each row's reply really held
    // Where it came in, by name, which survives an adapter plugged in again;
    // empty when unknown.
    QString m_ReplyInterfaces[Discovery::MaxDevices];
    QHash<int, QString> m_InterfaceNames; // index -> name, as the system told it
};
