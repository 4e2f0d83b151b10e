// SPDX-License-Identifier: MIT
//
// Read-only view of a receiver that cannot be configured: model, serial
// number, versions and connection text from its reply. Changes nothing.
#pragma once

#include "discovery.h"

#include <QDialog>

namespace Ui {
class CSdrxxDialog;
}

class CSdrxxDialog : public QDialog {
    Q_OBJECT
public:
    explicit CSdrxxDialog(QWidget *parent = nullptr);
    ~CSdrxxDialog() override;

    void ShowDeviceInfo();

    DeviceInfoRecord m_InfoRecord{};

private:
    Ui::CSdrxxDialog *ui;
};
