// SPDX-License-Identifier: MIT
//
// Setup dialog for one configurable receiver. The caller stores the device's
// record in m_Device, calls InitDialog() and exec(); after OK, m_Device holds
// the edited record and m_bDataChanged tells whether the user edited anything.
// While the dialog exists, Return and Enter act as Tab everywhere in the
// application, so they step between fields and never close the dialog.
#pragma once

#include "discovery.h"
#include "ui_editdevicedlg.h"

#include <QDialog>
#include <QIntValidator>

#include <cstdint>

class CEditDeviceDlg : public QDialog {
    Q_OBJECT
public:
    explicit CEditDeviceDlg(QWidget *parent);
    ~CEditDeviceDlg() override;

    void InitDialog();
    bool eventFilter(QObject *watched, QEvent *event) override;

    DeviceConfigRecord m_Device{};
    bool m_bDataChanged = false;

public slots:
    void accept() override;

private:
    Ui::DialogEdit ui;
    QIntValidator *m_pPortValidator = nullptr; // a CStrictIntValidator(0, 65535)
    std::uint8_t m_InitialConfig = 0;
};
