// SPDX-License-Identifier: MIT
#include "editdevicedlg.h"
#include "ipeditwidget.h"
#include "sdrxxdialog.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QApplication>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QTest>

#include <memory>

// The forms are checked against the intended layout widget by widget: a pixel
// off, a missing blank in a tool tip or a font that does not follow its parent
// is something a user sees.

namespace {

enum class Form { Edit, IpEdit, Info };

std::unique_ptr<QWidget> make(Form form)
{
    switch (form) {
    case Form::Edit:
        return std::make_unique<CEditDeviceDlg>(nullptr);
    case Form::IpEdit:
        return std::make_unique<CIPEditWidget>();
    case Form::Info:
        return std::make_unique<CSdrxxDialog>();
    }
    return nullptr;
}

// "IPEditwidget_IP/label" names a widget inside an editor; "" the form itself.
QWidget *find(QWidget *root, const QString &path)
{
    QWidget *w = root;
    for (const QString &name : path.split(QLatin1Char('/'), Qt::SkipEmptyParts))
        w = w ? w->findChild<QWidget *>(name, Qt::FindDirectChildrenOnly) : nullptr;
    return w;
}

QString shownText(const QWidget *w)
{
    if (auto *l = qobject_cast<const QLabel *>(w))
        return l->text();
    if (auto *b = qobject_cast<const QAbstractButton *>(w))
        return b->text();
    if (auto *e = qobject_cast<const QLineEdit *>(w))
        return e->text();
    return QString();
}

struct Row {
    const char *name;
    const char *cls;
    QRect geometry;
    const char *text;
    const char *toolTip;
};

// Creation order, which is also the stacking order where widgets overlap.
const QList<Row> editRows = {
    {"buttonBox", "QDialogButtonBox", {90, 500, 341, 32}, "", ""},
    {"labelDevice", "QLabel", {10, 10, 511, 81}, "Device Info", ""},
    {"label", "QLabel", {30, 110, 111, 40}, "TCP IP Adr", ""},
    {"lineEdit_TCPPort", "QLineEdit", {150, 160, 71, 20}, "", "TCP Control Port Number"},
    {"label_2", "QLabel", {60, 160, 81, 21}, "TCP Port", ""},
    {"IPEditwidget_IP", "CIPEditWidget", {150, 110, 170, 40}, "", "TCP Control IP Address"},
    {"label_3", "QLabel", {310, 360, 91, 21}, "UDP Port", ""},
    {"IPEditwidget_IP_UDP",
     "CIPEditWidget",
     {130, 350, 170, 40},
     "",
     "Alternative UDP Data  Destination IP Address"},
    {"lineEdit_UDPPort",
     "QLineEdit",
     {410, 360, 71, 20},
     "",
     "Alternative UDP Data Destination Port"},
    {"label_4", "QLabel", {30, 350, 91, 40}, "UDP Adr", ""},
    {"label_5", "QLabel", {20, 200, 121, 40}, "SubNet Mask", ""},
    {"IPEditwidget_IP_SM", "CIPEditWidget", {150, 200, 170, 40}, "", "SubNet Mask Value"},
    {"IPEditwidget_IP_GW", "CIPEditWidget", {150, 260, 170, 40}, "", "GateWay IP Address"},
    {"label_6", "QLabel", {20, 260, 121, 40}, "GateWay IP", ""},
    {"checkBox_UseDHCP",
     "QCheckBox",
     {340, 120, 121, 17},
     "Use DHCP",
     "Use DHCP to Obtain IP Address Automatically"},
    {"checkBox_UseAltUDP",
     "QCheckBox",
     {40, 320, 421, 20},
     "Use Alternate Data Destination UDP Address",
     "Enable Alternate UDP Destination Address"},
    {"line", "QFrame", {40, 300, 421, 20}, "", ""},
    {"line_2", "QFrame", {40, 400, 421, 20}, "", ""},
    {"radioButtonCfg0",
     "QRadioButton",
     {60, 420, 221, 17},
     "FPGA Config 0",
     "Default FPGA Configuration"},
    {"radioButtonCfg1",
     "QRadioButton",
     {60, 450, 221, 17},
     "FPGA Config 1",
     "Alternate FPGA Configuration 1"},
    {"radioButtonCfg2",
     "QRadioButton",
     {60, 480, 221, 17},
     "FPGA Config 2",
     "Alternate FPGA Configuration 2"},
};

const QList<Row> ipRows = {
    {"lineEdit_B0", "QLineEdit", {130, 10, 31, 20}, "", ""},
    {"label", "QLabel", {40, 10, 16, 16}, ".", ""},
    {"label_3", "QLabel", {120, 10, 16, 16}, ".", ""},
    {"lineEdit_B2", "QLineEdit", {50, 10, 31, 20}, "", ""},
    {"lineEdit_B1", "QLineEdit", {90, 10, 31, 20}, "", ""},
    {"lineEdit_B3", "QLineEdit", {10, 10, 31, 20}, "", ""},
    {"label_2", "QLabel", {80, 10, 16, 16}, ".", ""},
};

const QList<Row> infoRows = {
    {"buttonBox", "QDialogButtonBox", {-90, 120, 341, 32}, "", ""},
    {"SDRxxInfoLabel", "QLabel", {10, 20, 321, 71}, "TextLabel", ""},
};

const QList<Row> &rowsOf(Form form)
{
    return form == Form::Edit ? editRows : form == Form::IpEdit ? ipRows : infoRows;
}

const char *formName(Form form)
{
    return form == Form::Edit ? "DialogEdit" : form == Form::IpEdit ? "FrameIPdit" : "CSdrxxDialog";
}

} // namespace

Q_DECLARE_METATYPE(Form)

class TestDialogLayout : public QObject {
    Q_OBJECT
private slots:
    void topLevel_data()
    {
        QTest::addColumn<Form>("form");
        QTest::addColumn<QString>("cls");
        QTest::addColumn<QSize>("size");
        QTest::addColumn<QString>("title");
        QTest::newRow("setup dialog")
            << Form::Edit << "CEditDeviceDlg" << QSize(533, 543) << "Device Setup";
        QTest::newRow("IP editor") << Form::IpEdit << "CIPEditWidget" << QSize(170, 40) << "Frame";
        QTest::newRow("information view")
            << Form::Info << "CSdrxxDialog" << QSize(336, 170) << "Device Info View";
    }

    void topLevel()
    {
        QFETCH(Form, form);
        QFETCH(QString, cls);
        QFETCH(QSize, size);
        QFETCH(QString, title);
        const auto w = make(form);
        QCOMPARE(w->objectName(), formName(form));
        QCOMPARE(w->metaObject()->className(), cls);
        QCOMPARE(w->size(), size);
        QCOMPARE(w->minimumSize(), QSize(0, 0));
        QCOMPARE(w->windowTitle(), title);

        // Children exist in the intended creation order, which decides which
        // of two overlapping widgets is drawn on top.
        QStringList created;
        for (QObject *o : w->children())
            if (o->isWidgetType())
                created << o->objectName();
        QStringList intended;
        for (const Row &r : rowsOf(form))
            intended << r.name;
        QCOMPARE(created, intended);
    }

    void widgets_data()
    {
        QTest::addColumn<Form>("form");
        QTest::addColumn<QString>("cls");
        QTest::addColumn<QRect>("geometry");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("toolTip");
        for (Form form : {Form::Edit, Form::IpEdit, Form::Info})
            for (const Row &r : rowsOf(form))
                QTest::addRow("%s/%s", formName(form), r.name)
                    << form << r.cls << r.geometry << r.text << r.toolTip;
    }

    void widgets()
    {
        QFETCH(Form, form);
        QFETCH(QString, cls);
        QFETCH(QRect, geometry);
        QFETCH(QString, text);
        QFETCH(QString, toolTip);
        const auto root = make(form);
        const QString name = QString::fromLatin1(QTest::currentDataTag()).section('/', 1);
        QWidget *w = find(root.get(), name);
        QVERIFY(w);
        QCOMPARE(w->metaObject()->className(), cls);
        QCOMPARE(w->geometry(), geometry);
        QCOMPARE(shownText(w), text);
        QCOMPARE(w->toolTip(), toolTip);
    }

    void properties_data()
    {
        QTest::addColumn<Form>("form");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QVariantMap>("props");
        const QVariantMap caption{{"alignment", int(Qt::AlignRight | Qt::AlignVCenter)}};
        const QVariantMap editor{{"focusPolicy", int(Qt::NoFocus)},
                                 {"frameShape", int(QFrame::StyledPanel)},
                                 {"frameShadow", int(QFrame::Sunken)},
                                 {"lineWidth", 1}};
        const QVariantMap octet{{"maxLength", 3},
                                {"alignment", int(Qt::AlignCenter)},
                                {"focusPolicy", int(Qt::StrongFocus)}};
        const QVariantMap port{{"maxLength", 5}};
        const QVariantMap line{{"frameShape", int(QFrame::HLine)},
                               {"frameShadow", int(QFrame::Sunken)}};
        const QVariantMap unchecked{{"checked", false}};
        const QVariantMap buttons{
            {"orientation", int(Qt::Horizontal)},
            {"standardButtons", int(QDialogButtonBox::Ok | QDialogButtonBox::Cancel)}};

        QTest::newRow("button box") << Form::Edit << "buttonBox" << buttons;
        QTest::newRow("info box") << Form::Edit << "labelDevice"
                                  << QVariantMap{{"frameShape", int(QFrame::StyledPanel)},
                                                 {"lineWidth", 1},
                                                 {"midLineWidth", 1},
                                                 {"textFormat", int(Qt::PlainText)},
                                                 {"alignment", int(Qt::AlignCenter)}};
        for (const char *c : {"label", "label_2", "label_3", "label_4", "label_5", "label_6"})
            QTest::addRow("caption %s", c) << Form::Edit << c << caption;
        for (const char *p : {"lineEdit_TCPPort", "lineEdit_UDPPort"})
            QTest::addRow("port %s", p) << Form::Edit << p << port;
        for (const char *e : {"IPEditwidget_IP", "IPEditwidget_IP_UDP", "IPEditwidget_IP_SM",
                              "IPEditwidget_IP_GW"}) {
            QTest::addRow("editor %s", e) << Form::Edit << e << editor;
            for (const char *f : {"lineEdit_B3", "lineEdit_B2", "lineEdit_B1", "lineEdit_B0"})
                QTest::addRow("octet %s/%s", e, f)
                    << Form::Edit << QString("%1/%2").arg(e, f) << octet;
        }
        for (const char *l : {"line", "line_2"})
            QTest::addRow("%s", l) << Form::Edit << l << line;
        for (const char *b : {"checkBox_UseDHCP", "checkBox_UseAltUDP", "radioButtonCfg0",
                              "radioButtonCfg1", "radioButtonCfg2"})
            QTest::addRow("%s starts unchecked", b) << Form::Edit << b << unchecked;
        QTest::newRow("editor frame on its own")
            << Form::IpEdit << ""
            << QVariantMap{{"frameShape", int(QFrame::StyledPanel)},
                           {"frameShadow", int(QFrame::Raised)}};
        QTest::newRow("info button box") << Form::Info << "buttonBox" << buttons;
    }

    void properties()
    {
        QFETCH(Form, form);
        QFETCH(QString, path);
        QFETCH(QVariantMap, props);
        const auto root = make(form);
        QWidget *w = find(root.get(), path);
        QVERIFY(w);
        for (auto it = props.cbegin(); it != props.cend(); ++it) {
            const QVariant actual = w->property(it.key().toLatin1().constData());
            QVERIFY2(actual.isValid(), qPrintable(it.key()));
            if (it.value().typeId() == QMetaType::Bool)
                QCOMPARE(actual.toBool(), it.value().toBool());
            else
                QCOMPARE(actual.toInt(), it.value().toInt());
        }
    }

    // With a distinctive application font, every attribute that a form leaves
    // unset shows the inherited value and every attribute it sets stays.
    void fonts_data()
    {
        QTest::addColumn<Form>("form");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("family");
        QTest::addColumn<int>("pointSize");
        QTest::addColumn<int>("weight");
        QTest::addColumn<bool>("kerning");
        const QString probe = "Probe Family";
        const QString sans = "Sans Serif";
        const int bold = QFont::Bold, normal = QFont::Normal, light = QFont::Light;
        const auto add = [](const char *tag, Form f, const QString &path, const QString &family,
                            int size, int weight, bool kerning) {
            QTest::newRow(tag) << f << path << family << size << weight << kerning;
        };
        add("dialog font", Form::Edit, "", probe, 10, bold, false);
        add("button box", Form::Edit, "buttonBox", probe, 10, bold, false);
        add("info font", Form::Edit, "labelDevice", sans, 8, bold, true);
        add("caption font", Form::Edit, "label_5", probe, 10, bold, false);
        add("port font keeps dialog weight", Form::Edit, "lineEdit_UDPPort", sans, 10, bold, false);
        add("editor font normal", Form::Edit, "IPEditwidget_IP", probe, 8, normal, false);
        add("editor font unweighted", Form::Edit, "IPEditwidget_IP_UDP", probe, 8, bold, false);
        add("editor font bold", Form::Edit, "IPEditwidget_IP_GW", probe, 8, bold, false);
        add("check box", Form::Edit, "checkBox_UseAltUDP", probe, 10, bold, false);
        add("radio button", Form::Edit, "radioButtonCfg1", probe, 10, bold, false);
        add("line", Form::Edit, "line", probe, 10, bold, false);
        add("field font in a normal editor", Form::Edit, "IPEditwidget_IP/lineEdit_B3", sans, 9,
            bold, false);
        add("separator font in a normal editor", Form::Edit, "IPEditwidget_IP/label_2", probe, 20,
            bold, false);
        add("editor on its own", Form::IpEdit, "", probe, 17, light, false);
        add("separator on its own", Form::IpEdit, "label", probe, 20, bold, false);
        add("field on its own", Form::IpEdit, "lineEdit_B0", sans, 9, bold, false);
        add("view dialog", Form::Info, "", probe, 17, light, false);
        add("view label", Form::Info, "SDRxxInfoLabel", sans, 9, bold, false);
        add("view button box", Form::Info, "buttonBox", probe, 17, light, false);
    }

    void fonts()
    {
        QFETCH(Form, form);
        QFETCH(QString, path);
        QFETCH(QString, family);
        QFETCH(int, pointSize);
        QFETCH(int, weight);
        QFETCH(bool, kerning);
        const QFont saved = QApplication::font();
        QFont probe(QStringLiteral("Probe Family"), 17, QFont::Light);
        probe.setKerning(false);
        QApplication::setFont(probe);
        const auto root = make(form);
        QWidget *w = find(root.get(), path);
        const QFont f = w ? w->font() : QFont();
        QApplication::setFont(saved);
        QVERIFY(w);
        QCOMPARE(f.family(), family);
        QCOMPARE(f.pointSize(), pointSize);
        QCOMPARE(int(f.weight()), weight);
        QCOMPARE(f.kerning(), kerning);
    }

    // What a screen reader speaks for each field: its caption, and for the
    // octets of an address editor their place, left to right.
    void accessibleNames_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("name");
        const struct {
            const char *editor, *caption;
        } editors[] = {{"IPEditwidget_IP", "TCP IP Adr"},
                       {"IPEditwidget_IP_UDP", "UDP Adr"},
                       {"IPEditwidget_IP_SM", "SubNet Mask"},
                       {"IPEditwidget_IP_GW", "GateWay IP"}};
        const char *const octets[] = {"lineEdit_B3", "lineEdit_B2", "lineEdit_B1", "lineEdit_B0"};
        for (const auto &e : editors)
            for (int i = 0; i < 4; ++i)
                QTest::addRow("%s/%s", e.editor, octets[i])
                    << QString("%1/%2").arg(e.editor, octets[i])
                    << QString("%1, octet %2").arg(e.caption).arg(i + 1);
        QTest::newRow("TCP port") << "lineEdit_TCPPort"
                                  << "TCP Port";
        QTest::newRow("UDP port") << "lineEdit_UDPPort"
                                  << "UDP Port";
        QTest::newRow("DHCP") << "checkBox_UseDHCP"
                              << "Use DHCP";
        QTest::newRow("FPGA 2") << "radioButtonCfg2"
                                << "FPGA Config 2";
    }
    void accessibleNames()
    {
        QFETCH(QString, path);
        QFETCH(QString, name);
        const auto root = make(Form::Edit);
        QWidget *w = find(root.get(), path);
        QVERIFY(w);
        QAccessibleInterface *iface = QAccessible::queryAccessibleInterface(w);
        QVERIFY(iface);
        QCOMPARE(iface->text(QAccessible::Name), name);
    }
};

QTEST_MAIN(TestDialogLayout)
#include "tst_dialoglayout.moc"
