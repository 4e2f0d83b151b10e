// SPDX-License-Identifier: MIT
#include "sdrxxdialog.h"

#include "ui_sdrxxdialog.h"

using namespace Discovery;

namespace {

QString fieldString(const std::string &s)
{
    return QString::fromLatin1(s.data(), int(s.size()));
}

QString version(const std::uint8_t (&field)[2])
{
    // Stored times 100; 'g' with six digits shows every 16-bit value exactly.
    return QString::number(u16(field) / 100.0, 'g', 6);
}

} // namespace

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
                       .arg(fieldString(fieldText(m_InfoRecord.head.deviceName)),
                            fieldString(fieldText(m_InfoRecord.head.serialNumber)));
    info += QStringLiteral("\nFirmware Version = %1  Boot Version = %2 \nConnection = %3")
                .arg(version(m_InfoRecord.firmwareVersion), version(m_InfoRecord.bootVersion),
                     fieldString(fieldText(m_InfoRecord.connection)));
    ui->SDRxxInfoLabel->setText(info);
}
