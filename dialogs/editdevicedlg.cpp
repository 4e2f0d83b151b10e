// SPDX-License-Identifier: MIT
#include "editdevicedlg.h"

#include "recordtext.h"
#include "strictintvalidator.h"

#include <QCoreApplication>
#include <QKeyEvent>

using namespace Discovery;

namespace {

QString hexByte(std::uint8_t b)
{
    return QStringLiteral("%1").arg(b, 2, 16, QLatin1Char('0'));
}

void showAddress(CIPEditWidget *editor, const std::uint8_t (&field)[4])
{
    const Ipv4 ip = quad(field);
    editor->SetAddress(ip.octet(0), ip.octet(1), ip.octet(2), ip.octet(3));
}

bool takeAddress(CIPEditWidget *editor, std::uint8_t (&field)[4])
{
    std::uint8_t a = 0, b = 0, c = 0, d = 0;
    const bool changed = editor->GetAddress(a, b, c, d);
    setQuad(field, Ipv4(a, b, c, d));
    return changed;
}

bool takePort(const QLineEdit *edit, std::uint8_t (&field)[2])
{
    if (!edit->isModified())
        return false;
    // The validator keeps the text within 0..65535; an emptied field reads as 0.
    setU16(field, static_cast<std::uint16_t>(edit->text().toUInt(nullptr, 10) & 0xFFFF));
    return true;
}

bool takeFlag(const QCheckBox *box, std::uint8_t &flags, std::uint8_t mask)
{
    const bool set = (flags & mask) != 0;
    if (box->isChecked() == set)
        return false;
    flags = static_cast<std::uint8_t>(box->isChecked() ? flags | mask : flags & ~mask);
    return true;
}

} // namespace

CEditDeviceDlg::CEditDeviceDlg(QWidget *parent) : QDialog(parent)
{
    ui.setupUi(this);
    m_bDataChanged = false;
    QCoreApplication::instance()->installEventFilter(this);
    m_pPortValidator = new CStrictIntValidator(0, 65535, this);
    ui.lineEdit_TCPPort->setValidator(m_pPortValidator);
    ui.lineEdit_UDPPort->setValidator(m_pPortValidator);

    // Screen readers name each field by the caption beside it.
    ui.IPEditwidget_IP->SetAccessibleCaption(ui.label->text());
    ui.IPEditwidget_IP_UDP->SetAccessibleCaption(ui.label_4->text());
    ui.IPEditwidget_IP_SM->SetAccessibleCaption(ui.label_5->text());
    ui.IPEditwidget_IP_GW->SetAccessibleCaption(ui.label_6->text());
    ui.lineEdit_TCPPort->setAccessibleName(ui.label_2->text());
    ui.lineEdit_UDPPort->setAccessibleName(ui.label_3->text());
}

CEditDeviceDlg::~CEditDeviceDlg()
{
    // Stop filtering before the widgets go, so no event reaches a half-destroyed dialog.
    if (QCoreApplication *app = QCoreApplication::instance())
        app->removeEventFilter(this);
    delete m_pPortValidator;
}

void CEditDeviceDlg::InitDialog()
{
    const auto mac = macDisplayOrder(m_Device.macAddress);
    // One arg() call per line: a "%2" in a device's name must stay text.
    QString info =
        QStringLiteral("Device = %1   Serial Number = %2  MAC = %3:%4:%5:%6:%7:%8")
            .arg(RecordText::text(m_Device.head.deviceName),
                 RecordText::text(m_Device.head.serialNumber), hexByte(mac[0]), hexByte(mac[1]),
                 hexByte(mac[2]), hexByte(mac[3]), hexByte(mac[4]), hexByte(mac[5]));
    info += QStringLiteral("\nFirmware Version = %1  Boot Version = %2  HW Version = %3")
                .arg(RecordText::version(m_Device.firmwareVersion),
                     RecordText::version(m_Device.bootVersion),
                     RecordText::version(m_Device.hwVersion));
    info += QStringLiteral("\nFPGA ID = %1  FPGA Rev. = %2 Options: ")
                .arg(QString::number(m_Device.fpgaId), QString::number(m_Device.fpgaRevision));
    if (m_Device.options & OptRefLock)
        info += QStringLiteral("RefLock  ");
    if (m_Device.options & OptDownConverter)
        info += QStringLiteral("Down Converter  ");
    if (m_Device.options & OptX2Receiver)
        info += QStringLiteral("X2 Receiver ");
    ui.labelDevice->setText(info);

    showAddress(ui.IPEditwidget_IP, m_Device.head.ipAddress);
    ui.lineEdit_TCPPort->setText(QString::number(u16(m_Device.head.tcpPort), 10));
    showAddress(ui.IPEditwidget_IP_SM, m_Device.subnetMask);
    showAddress(ui.IPEditwidget_IP_GW, m_Device.gateway);
    showAddress(ui.IPEditwidget_IP_UDP, m_Device.altUdpAddress);
    ui.lineEdit_UDPPort->setText(QString::number(u16(m_Device.altUdpPort), 10));
    ui.checkBox_UseDHCP->setChecked((m_Device.netFlags & NetDhcp) != 0);
    ui.checkBox_UseAltUDP->setChecked((m_Device.netFlags & NetAltUdp) != 0);

    m_InitialConfig = m_Device.fpgaConfig;
    switch (m_InitialConfig) {
    case 0:
        ui.radioButtonCfg0->setChecked(true);
        break;
    case 1:
        ui.radioButtonCfg1->setChecked(true);
        break;
    case 2:
        ui.radioButtonCfg2->setChecked(true);
        break;
    default:
        break; // an unknown configuration leaves all three unchecked
    }
}

bool CEditDeviceDlg::eventFilter(QObject *watched, QEvent *event)
{
    const QEvent::Type type = event->type();
    if (type == QEvent::KeyPress || type == QEvent::KeyRelease) {
        const auto *key = static_cast<QKeyEvent *>(event);
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            // A key event cannot be rewritten in place, so the receiver gets a
            // plain Tab instead and the original stops here: the focus moves
            // on and the default button is never pressed.
            QKeyEvent tab(type, Qt::Key_Tab, Qt::NoModifier, QString(), key->isAutoRepeat(),
                          key->count());
            QCoreApplication::sendEvent(watched, &tab);
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void CEditDeviceDlg::accept()
{
    m_bDataChanged = false;
    // Every editor is read, even after one has reported a change.
    m_bDataChanged = takeAddress(ui.IPEditwidget_IP, m_Device.head.ipAddress);
    m_bDataChanged |= takeAddress(ui.IPEditwidget_IP_SM, m_Device.subnetMask);
    m_bDataChanged |= takeAddress(ui.IPEditwidget_IP_GW, m_Device.gateway);
    m_bDataChanged |= takeAddress(ui.IPEditwidget_IP_UDP, m_Device.altUdpAddress);

    m_bDataChanged |= takePort(ui.lineEdit_TCPPort, m_Device.head.tcpPort);
    m_bDataChanged |= takePort(ui.lineEdit_UDPPort, m_Device.altUdpPort);

    m_bDataChanged |= takeFlag(ui.checkBox_UseDHCP, m_Device.netFlags, NetDhcp);
    m_bDataChanged |= takeFlag(ui.checkBox_UseAltUDP, m_Device.netFlags, NetAltUdp);

    // With no button checked (the receiver reported a value other than 0, 1
    // or 2 and the user chose none) the receiver's value stays as it is.
    std::uint8_t config = m_InitialConfig;
    if (ui.radioButtonCfg0->isChecked())
        config = 0;
    else if (ui.radioButtonCfg1->isChecked())
        config = 1;
    else if (ui.radioButtonCfg2->isChecked())
        config = 2;
    if (config != m_InitialConfig) {
        m_bDataChanged = true;
        m_Device.fpgaConfig = config;
    }

    QDialog::accept();
}
