// SPDX-License-Identifier: MIT
#include "ipeditwidget.h"

#include <QLineEdit>
#include <QTest>

namespace {

using Octets = QList<int>;

QLineEdit *field(CIPEditWidget &w, const char *name)
{
    auto *edit = w.findChild<QLineEdit *>(QLatin1String(name));
    Q_ASSERT(edit);
    return edit;
}

// Erase the field with Backspace and type the new text, as a user would.
void retype(QLineEdit *edit, const QString &text)
{
    QTest::keyClick(edit, Qt::Key_End);
    for (qsizetype n = edit->text().size(); n > 0; --n)
        QTest::keyClick(edit, Qt::Key_Backspace);
    QTest::keyClicks(edit, text);
}

Octets get(CIPEditWidget &w, bool *changed)
{
    std::uint8_t b3 = 0, b2 = 0, b1 = 0, b0 = 0;
    *changed = w.GetAddress(b3, b2, b1, b0);
    return {b3, b2, b1, b0};
}

} // namespace

class TestIpEdit : public QObject {
    Q_OBJECT
private slots:
    void showsAndReturnsAddress_data()
    {
        QTest::addColumn<Octets>("octets");
        QTest::addColumn<QStringList>("texts");
        QTest::newRow("private address")
            << Octets{192, 168, 1, 10} << QStringList{"192", "168", "1", "10"};
        QTest::newRow("zero and 255 as such")
            << Octets{0, 255, 0, 255} << QStringList{"0", "255", "0", "255"};
    }

    void showsAndReturnsAddress()
    {
        QFETCH(Octets, octets);
        QFETCH(QStringList, texts);
        CIPEditWidget w;
        w.SetAddress(octets[0], octets[1], octets[2], octets[3]);
        // Left to right on screen: B3, B2, B1, B0.
        const QStringList shown{field(w, "lineEdit_B3")->text(), field(w, "lineEdit_B2")->text(),
                                field(w, "lineEdit_B1")->text(), field(w, "lineEdit_B0")->text()};
        QCOMPARE(shown, texts);
        bool changed = true;
        QCOMPARE(get(w, &changed), octets);
        QVERIFY(!changed);
    }

    void userEdits_data()
    {
        QTest::addColumn<QString>("fieldName");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<Octets>("expected");
        QTest::addColumn<bool>("changed");
        // Start address is 192.168.1.10; "typed" replaces the field's text.
        QTest::newRow("third field 1 to 2") << "lineEdit_B1"
                                            << "2"
                                            << "2" << Octets{192, 168, 2, 10} << true;
        QTest::newRow("emptied field keeps octet") << "lineEdit_B2"
                                                   << ""
                                                   << "" << Octets{192, 168, 1, 10} << false;
        QTest::newRow("same digits retyped count") << "lineEdit_B3"
                                                   << "192"
                                                   << "192" << Octets{192, 168, 1, 10} << true;
        QTest::newRow("256 refused while typed") << "lineEdit_B0"
                                                 << "256"
                                                 << "25" << Octets{192, 168, 1, 25} << true;
        QTest::newRow("999 refused while typed") << "lineEdit_B0"
                                                 << "999"
                                                 << "99" << Octets{192, 168, 1, 99} << true;
        QTest::newRow("letters, signs and separators refused")
            << "lineEdit_B2"
            << "-1a+,2"
            << "12" << Octets{192, 12, 1, 10} << true;
        QTest::newRow("fourth digit refused") << "lineEdit_B3"
                                              << "1234"
                                              << "123" << Octets{123, 168, 1, 10} << true;
        QTest::newRow("zero typed") << "lineEdit_B0"
                                    << "0"
                                    << "0" << Octets{192, 168, 1, 0} << true;
    }

    void userEdits()
    {
        QFETCH(QString, fieldName);
        QFETCH(QString, typed);
        QFETCH(QString, shown);
        QFETCH(Octets, expected);
        QFETCH(bool, changed);
        CIPEditWidget w;
        w.SetAddress(192, 168, 1, 10);
        QLineEdit *edit = field(w, fieldName.toLatin1().constData());
        retype(edit, typed);
        QCOMPARE(edit->text(), shown);
        bool gotChanged = !changed;
        QCOMPARE(get(w, &gotChanged), expected);
        QCOMPARE(gotChanged, changed);
        // Reading again takes the same edits over and gives the same answer.
        QCOMPARE(get(w, &gotChanged), expected);
        QCOMPARE(gotChanged, changed);
    }

    void backspaceAndRetypeCounts()
    {
        CIPEditWidget w;
        w.SetAddress(10, 0, 0, 1);
        QLineEdit *edit = field(w, "lineEdit_B3");
        QTest::keyClick(edit, Qt::Key_End);
        QTest::keyClick(edit, Qt::Key_Backspace);
        QTest::keyClicks(edit, "0");
        bool changed = false;
        QCOMPARE(get(w, &changed), (Octets{10, 0, 0, 1}));
        QVERIFY(changed);
    }

    void changedFlagSurvivesSetAddress()
    {
        CIPEditWidget w;
        w.SetAddress(192, 168, 1, 10);
        retype(field(w, "lineEdit_B1"), "2");
        bool changed = false;
        get(w, &changed);
        QVERIFY(changed);

        w.SetAddress(10, 1, 2, 3);
        QVERIFY(!field(w, "lineEdit_B1")->isModified());
        QCOMPARE(get(w, &changed), (Octets{10, 1, 2, 3}));
        QVERIFY(changed);
    }

    void setAddressDiscardsUnreadEdits()
    {
        // The flag belongs to reads: an edit that SetAddress wipes before any
        // GetAddress never reached the owner and is not reported.
        CIPEditWidget w;
        w.SetAddress(192, 168, 1, 10);
        retype(field(w, "lineEdit_B1"), "2");
        w.SetAddress(192, 168, 1, 10);
        bool changed = true;
        QCOMPARE(get(w, &changed), (Octets{192, 168, 1, 10}));
        QVERIFY(!changed);
    }
};

QTEST_MAIN(TestIpEdit)
#include "tst_ipedit.moc"
