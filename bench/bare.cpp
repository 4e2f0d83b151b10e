// SPDX-License-Identifier: MIT
//
// The floor for start-up time and memory: a Qt 6 program that opens a
// QMainWindow and sends one UDP datagram, as Vantrel does at start-up, and
// nothing else.
#include <QApplication>
#include <QByteArray>
#include <QHostAddress>
#include <QMainWindow>
#include <QUdpSocket>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QMainWindow window;
    QUdpSocket socket;
    socket.writeDatagram(QByteArray(56, '\0'), QHostAddress(QHostAddress::Broadcast), 48321);
    window.show();
    return app.exec();
}
