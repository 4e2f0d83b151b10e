// SPDX-License-Identifier: MIT
#include "ipeditwidget.h"

#include "strictintvalidator.h"

CIPEditWidget::CIPEditWidget(QWidget *parent) : QFrame(parent)
{
    ui.setupUi(this);
    m_pValidator = new CStrictIntValidator(0, 255, this);
    ui.lineEdit_B0->setValidator(m_pValidator);
    ui.lineEdit_B1->setValidator(m_pValidator);
    ui.lineEdit_B2->setValidator(m_pValidator);
    ui.lineEdit_B3->setValidator(m_pValidator);
    m_bChanged = false;
}

CIPEditWidget::~CIPEditWidget()
{
    delete m_pValidator;
}

void CIPEditWidget::SetAddress(std::uint8_t b3, std::uint8_t b2, std::uint8_t b1, std::uint8_t b0)
{
    m_B3 = b3;
    m_B2 = b2;
    m_B1 = b1;
    m_B0 = b0;
    ShowAddress();
}

void CIPEditWidget::SetAccessibleCaption(const QString &caption)
{
    setAccessibleName(caption);
    QLineEdit *const fields[] = {ui.lineEdit_B3, ui.lineEdit_B2, ui.lineEdit_B1, ui.lineEdit_B0};
    for (int i = 0; i < 4; ++i)
        fields[i]->setAccessibleName(
            QStringLiteral("%1, octet %2").arg(caption, QString::number(i + 1)));
}

bool CIPEditWidget::GetAddress(std::uint8_t &b3, std::uint8_t &b2, std::uint8_t &b1,
                               std::uint8_t &b0)
{
    ReadAddress();
    b3 = m_B3;
    b2 = m_B2;
    b1 = m_B1;
    b0 = m_B0;
    return m_bChanged;
}

void CIPEditWidget::ShowAddress()
{
    // setText also clears each field's modified state, so only edits made
    // after this count as changes.
    ui.lineEdit_B3->setText(QString::number(m_B3, 10));
    ui.lineEdit_B2->setText(QString::number(m_B2, 10));
    ui.lineEdit_B1->setText(QString::number(m_B1, 10));
    ui.lineEdit_B0->setText(QString::number(m_B0, 10));
}

void CIPEditWidget::ReadAddress()
{
    const struct {
        QLineEdit *field;
        std::uint8_t &octet;
    } fields[] = {
        {ui.lineEdit_B3, m_B3},
        {ui.lineEdit_B2, m_B2},
        {ui.lineEdit_B1, m_B1},
        {ui.lineEdit_B0, m_B0},
    };
    // An emptied or incomplete field keeps the octet it had. The modified
    // state is left alone, so reading twice gives the same answer.
    for (const auto &f : fields) {
        if (!f.field->isModified() || !f.field->hasAcceptableInput())
            continue;
        m_bChanged = true;
        f.octet = static_cast<std::uint8_t>(f.field->text().toUInt(nullptr, 10) & 0xFF);
    }
}
