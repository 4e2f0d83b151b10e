// SPDX-License-Identifier: MIT
//
// Dotted-quad IPv4 address editor: four number fields in a frame. The owner
// sets the address once, lets the user edit it, and reads it back together
// with a flag that says whether the user typed an acceptable octet at any
// time; that flag never clears, so it means "was edited", not "differs".
#pragma once

#include "ui_ipeditwidget.h"

#include <QFrame>
#include <QIntValidator>

#include <cstdint>

class CIPEditWidget : public QFrame {
    Q_OBJECT
public:
    explicit CIPEditWidget(QWidget *parent = nullptr);
    ~CIPEditWidget() override;

    // Octets in display order: b3 is the left-most number of "b3.b2.b1.b0".
    void SetAddress(std::uint8_t b3, std::uint8_t b2, std::uint8_t b1, std::uint8_t b0);
    bool GetAddress(std::uint8_t &b3, std::uint8_t &b2, std::uint8_t &b1, std::uint8_t &b0);
    // Names the editor and its fields for screen readers: "CAPTION, octet 1"
    // is the left-most field. Nothing visible changes.
    void SetAccessibleCaption(const QString &caption);

private:
    void ShowAddress();
    void ReadAddress();

    Ui::FrameIPdit ui;
    QIntValidator *m_pValidator = nullptr; // a CStrictIntValidator(0, 255)
    bool m_bChanged = false;
    std::uint8_t m_B0 = 0;
    std::uint8_t m_B1 = 0;
    std::uint8_t m_B2 = 0;
    std::uint8_t m_B3 = 0;
};
