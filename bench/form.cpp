// SPDX-License-Identifier: MIT
//
// The floor for the window's memory and start-up with its text: the main
// window's own form, title and empty list, with slots that do nothing. It
// keeps no settings and sends one UDP datagram, which the start-up timing
// waits for, and nothing else.
#include "ui_mainwindow.h"

#include <QApplication>
#include <QByteArray>
#include <QHostAddress>
#include <QMainWindow>
#include <QUdpSocket>

class Form : public QMainWindow {
    Q_OBJECT
public:
    Form()
    {
        m_ui.setupUi(this);
        setWindowTitle(QString::fromLatin1("Vantrel Ver 1.07-Halvex"));
    }

private slots:
    void OnFind() {}
    void OnListDoubleClick(QListWidgetItem *) {}

private:
    Ui::MainWindow m_ui;
};

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    Form window;
    QUdpSocket socket;
    socket.writeDatagram(QByteArray(56, '\0'), QHostAddress(QHostAddress::Broadcast), 48321);
    window.show();
    return app.exec();
}

#include "form.moc"
