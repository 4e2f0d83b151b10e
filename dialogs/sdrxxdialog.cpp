// SPDX-License-Identifier: MIT
#include "sdrxxdialog.h"

#include "recordtext.h"
#include "ui_sdrxxdialog.h"

CSdrxxDialog::CSdrxxDialog(QWidget *parent) : QDialog(parent), ui(new Ui::CSdrxxDialog)
{
    ui->setupUi(this);
}

CSdrxxDialog::~CSdrxxDialog()
{
    delete ui;
}

void CSdrxxDialog::ShowDeviceInfo()
{
    // Each line is filled in one arg() call, so device text that looks like
    // "%2" is shown as it is and never taken for a placeholder.
    QString info = QStringLiteral("Device = %1   Serial Number = %2")
                       .arg(RecordText::text(m_InfoRecord.head.deviceName),
                            RecordText::text(m_InfoRecord.head.serialNumber));
    info += QStringLiteral("\nFirmware Version = %1  Boot Version = %2 \nConnection = %3")
                .arg(RecordText::version(m_InfoRecord.firmwareVersion),
                     RecordText::version(m_InfoRecord.bootVersion),
                     RecordText::text(m_InfoRecord.connection));
    ui->SDRxxInfoLabel->setText(info);
}
