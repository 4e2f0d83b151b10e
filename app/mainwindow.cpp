// SPDX-License-Identifier: MIT
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "replysocket.h"

#include "editdevicedlg.h"
#include "sdrxxdialog.h"

#include <QDataStream>
#include <QDebug>
#include <QFileInfo>
#include <QLockFile>
#include <QNetworkDatagram>
#include <QNetworkInterface>
#include <QSettings>
#include <QShortcut>
#include <QTimer>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Room for a few tens of milliseconds of a flood of small datagrams, so that
// replies still find space while the GUI thread is busy or descheduled. The
// kernel caps it at net.core.rmem_max.
constexpr int ReceiveBufferBytes = 4 << 20;

const QString Organisation = QStringLiteral("Quorvane");
const QString Application = QStringLiteral("Vantrel");

// Where the settings store keeps the window's file. Asked of the store itself,
// so that a path set with QSettings::setPath counts; an organisation-wide
// object reads only the organisation's file, which the window's settings read
// anyway.
QString settingsFile()
{
    const QSettings organisation(QSettings::UserScope, Organisation);
    return QFileInfo(organisation.fileName()).path() + QLatin1Char('/') + Organisation +
           QLatin1Char('/') + Application + QStringLiteral(".conf");
}

// The store opens its file without a timeout (a FIFO blocks the read) and
// waits for its lock for ever (a directory in the lock's place is never
// stale). Settings are a convenience, so such a file is left alone.
bool settingsReadable()
{
    const QFileInfo file(settingsFile());
    return !file.exists() || file.isFile();
}

bool settingsWritable()
{
    if (!settingsReadable())
        return false;
    // Released again here, before the store takes it. A lock that cannot be
    // made at all (no folder yet) is the store's to report: it fails at once.
    QLockFile lock(settingsFile() + QStringLiteral(".lock"));
    return lock.tryLock(1000) || lock.error() != QLockFile::LockFailedError;
}

// restoreGeometry() does not check that its stream held every field: a value
// cut short (an interrupted write, a hand-edited file) restores a window of
// one pixel. Reads the fields as Qt writes them and takes only a whole value
// with a real normal geometry.
bool wholeGeometry(const QByteArray &geometry)
{
    QDataStream in(geometry);
    in.setVersion(QDataStream::Qt_4_0);
    quint32 magic = 0;
    quint16 major = 0, minor = 0;
    QRect frame, normal, restored;
    qint32 screen = 0, screenWidth = 0;
    quint8 maximized = 0, fullScreen = 0;
    in >> magic >> major >> minor >> frame >> normal >> screen >> maximized >> fullScreen;
    if (major > 1)
        in >> screenWidth;
    if (major > 2)
        in >> restored;
    return in.status() == QDataStream::Ok && normal.isValid();
}

} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent), ui(new Ui::MainWindow), m_pRecvSocket(nullptr), m_bUdpOpen(false),
      m_OpenWindows(0), m_bSettingsUsable(settingsReadable()), m_Headers(), m_ConfigRecords(),
      m_InfoRecords(), m_ReplySizes(), m_ReplyInterfaces()
{
    ui->setupUi(this);
    setWindowTitle(QString::fromLatin1("Vantrel Ver 1.07-Halvex"));

    bool minimized = false;
    if (m_bSettingsUsable) {
        QSettings settings(QSettings::UserScope, Organisation, Application);
        settings.beginGroup(QStringLiteral("MainWindow"));
        const QByteArray geometry = settings.value(QStringLiteral("geometry")).toByteArray();
        if (wholeGeometry(geometry))
            restoreGeometry(geometry);
        minimized = settings.value(QStringLiteral("minstate"), false).toBool();
        settings.endGroup();
    }

    // Return or Enter on the current row opens it, as a double click does, so
    // that a keyboard user can reach the dialogs.
    for (const int key : {Qt::Key_Return, Qt::Key_Enter}) {
        auto *open = new QShortcut(QKeySequence(key), ui->listWidget);
        open->setContext(Qt::WidgetShortcut);
        connect(open, &QShortcut::activated, this,
                [this] { OnListDoubleClick(ui->listWidget->currentItem()); });
    }

    // An IPv4 socket, not the dual-stack one Qt would bind on the first send:
    // only that one can name the interface a limited broadcast leaves by.
    m_SendSocket.bind(QHostAddress::AnyIPv4, 0);

    m_pRecvSocket = new QUdpSocket(this);
    connect(m_pRecvSocket, SIGNAL(readyRead()), this, SLOT(ReadUDPMessages()));
    m_bUdpOpen = false;

    ui->listWidget->clear();
    SendDiscoverRequest();

    if (minimized)
        showMinimized();
}

MainWindow::~MainWindow()
{
    delete ui;

    // A file that could not be read at start-up keeps what it holds.
    if (m_bSettingsUsable && settingsWritable()) {
        QSettings settings(QSettings::UserScope, Organisation, Application);
        settings.beginGroup(QStringLiteral("MainWindow"));
        settings.setValue(QStringLiteral("geometry"), saveGeometry());
        settings.setValue(QStringLiteral("minstate"), isMinimized());
        settings.endGroup();
    }

    if (m_pRecvSocket) {
        if (m_bUdpOpen)
            m_pRecvSocket->close();
        delete m_pRecvSocket;
    }
}

void MainWindow::OnFind()
{
    ui->listWidget->clear();
    QTimer::singleShot(Discovery::FindDelayMs, this, SLOT(SendDiscoverRequest()));
}

void MainWindow::OnListDoubleClick(QListWidgetItem *item)
{
    Q_UNUSED(item);
    const int r = ui->listWidget->currentRow();
    if (r < 0)
        return;

    if (Discovery::isConfigurableModel(m_Headers[r].deviceName)) {
        CEditDeviceDlg dlg(this);
        dlg.m_Device = m_ConfigRecords[r];
        // Taken now: replies arriving while the dialog is open may move the rows.
        const std::size_t received = m_ReplySizes[r];
        const QString interfaceName = m_ReplyInterfaces[r];
        dlg.InitDialog();
        if (dlg.exec() && dlg.m_bDataChanged) {
            DeviceConfigRecord record = dlg.m_Device;
            record.head.opcode = Discovery::OpConfigure;
            // A message that never left changes nothing: the list stays.
            if (SendConfiguration(record, received, interfaceName)) {
                ui->listWidget->clear();
                m_ConfigRecords[r] = record;
            }
        }
    } else {
        CSdrxxDialog dlg(this);
        dlg.m_InfoRecord = m_InfoRecords[r];
        dlg.ShowDeviceInfo();
        dlg.exec();
    }
}

// Binds the reply port unless it is bound, and opens one more listening window,
// which its own CloseUdp timer ends.
void MainWindow::OpenReplyPort()
{
    // Also after a failed bind: the port may have been freed since.
    if (!m_bUdpOpen || m_pRecvSocket->state() != QAbstractSocket::BoundState) {
        if (m_pRecvSocket->bind(Discovery::ReplyPort)) {
            m_pRecvSocket->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption,
                                           ReceiveBufferBytes);
            ReplySocket::askForArrivalInterface(*m_pRecvSocket);
        }
    }
    m_bUdpOpen = true;
    ++m_OpenWindows;
}

bool MainWindow::SendConfiguration(const DeviceConfigRecord &record, std::size_t received,
                                   const QString &interfaceName)
{
    OpenReplyPort();
    qDebug("UDP Open");
    QTimer::singleShot(Discovery::ConfigWindowMs, this, SLOT(CloseUdp()));

    const std::vector<std::uint8_t> message = Discovery::configMessage(record, received);
    QNetworkDatagram datagram(
        QByteArray(reinterpret_cast<const char *>(message.data()), qsizetype(message.size())),
        QHostAddress(QHostAddress::Broadcast), Discovery::DevicePort);
    // The limited broadcast follows the default route unless told otherwise,
    // so it leaves by the adapter where the receiver answered: on a second
    // adapter it would never arrive, and a wire the user never chose must
    // not get it. The adapter is found again by name, as one plugged in
    // again gets a new index. A reply on loopback came from this computer,
    // which hears the broadcast whichever way it leaves.
    QString failure;
    if (!interfaceName.isEmpty()) {
        const QNetworkInterface now = QNetworkInterface::interfaceFromName(interfaceName);
        if (!now.isValid())
            failure = QStringLiteral("adapter %1 is gone").arg(interfaceName);
        else if (!(now.flags() & QNetworkInterface::IsUp))
            failure = QStringLiteral("adapter %1 is down").arg(interfaceName);
        else if (!(now.flags() & QNetworkInterface::IsLoopBack))
            datagram.setInterfaceIndex(uint(now.index()));
    }
    // Sent from the adapter's own address too: every system then sends the
    // limited broadcast out of it, where an index alone is not honoured by all.
    QUdpSocket bound;
    QUdpSocket *via = &m_SendSocket;
    if (failure.isEmpty() && datagram.interfaceIndex() > 0)
        for (const QNetworkAddressEntry &e :
             QNetworkInterface::interfaceFromIndex(int(datagram.interfaceIndex())).addressEntries())
            if (e.ip().protocol() == QAbstractSocket::IPv4Protocol) {
                if (bound.bind(e.ip(), 0))
                    via = &bound;
                break;
            }
    if (failure.isEmpty() && via->writeDatagram(datagram) < 0)
        failure = via->errorString();
    if (failure.isEmpty())
        return true;
    qWarning("Vantrel: the configuration message was not sent: %s", qPrintable(failure));
    return false;
}

QString MainWindow::InterfaceName(int index)
{
    if (index <= 0)
        return QString();
    // One system query per adapter, not per reply.
    const auto known = m_InterfaceNames.constFind(index);
    if (known != m_InterfaceNames.constEnd())
        return *known;
    const QString name = QNetworkInterface::interfaceNameFromIndex(index);
    if (m_InterfaceNames.size() < 1024 && !name.isEmpty())
        m_InterfaceNames.insert(index, name);
    return name;
}

void MainWindow::SendDiscoverRequest()
{
    const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
    const auto request = Discovery::discoverRequest();

    OpenReplyPort();

    for (const QNetworkInterface &interface : interfaces) {
        const QList<QNetworkAddressEntry> entries = interface.addressEntries();
        for (const QNetworkAddressEntry &entry : entries) {
            // An entry without a broadcast address (IPv6, point-to-point) gets
            // nothing: Qt 6 would deliver a datagram to a null address locally.
            const QHostAddress broadcast = entry.broadcast();
            if (broadcast.isNull())
                continue;
            m_SendSocket.writeDatagram(reinterpret_cast<const char *>(request.data()),
                                       qint64(request.size()), broadcast, Discovery::DevicePort);
        }
    }
    QTimer::singleShot(Discovery::SearchWindowMs, this, SLOT(CloseUdp()));
}

void MainWindow::ReadUDPMessages()
{
    std::array<std::uint8_t, Discovery::ReadBufferSize> buffer;
    int interfaceIndex = 0;
    // A longer datagram is cut to the buffer; the system drops the rest. A
    // failed read has dropped its datagram; any others wake this slot again.
    qint64 size;
    while ((size = ReplySocket::read(*m_pRecvSocket, reinterpret_cast<char *>(buffer.data()),
                                     qint64(buffer.size()), &interfaceIndex)) >= 0) {
        if (Discovery::isValidReply(buffer.data(), std::size_t(size)))
            TakeReply(buffer.data(), std::size_t(size), interfaceIndex);
    }
}

void MainWindow::CloseUdp()
{
    // Only the end of the last window still open closes the port: an earlier
    // timer must not cut a newer search or configuration send short.
    if (m_OpenWindows > 0 && --m_OpenWindows > 0)
        return;
    if (m_bUdpOpen) {
        m_pRecvSocket->close();
        m_bUdpOpen = false;
    }
}

void MainWindow::TakeReply(const std::uint8_t *data, std::size_t size, int interfaceIndex)
{
    // Without a whole head there is no serial number to merge by.
    if (size < sizeof(DiscoverHeader))
        return;
    DiscoverHeader incoming;
    std::memcpy(&incoming, data, sizeof incoming);
    const std::string serial = Discovery::fieldText(incoming.serialNumber);

    const int n = ui->listWidget->count();
    for (int r = 0; r < n; ++r) {
        if (Discovery::fieldText(m_Headers[r].serialNumber) == serial) {
            delete ui->listWidget->takeItem(r);
            std::copy(m_Headers + r + 1, m_Headers + n, m_Headers + r);
            std::copy(m_ConfigRecords + r + 1, m_ConfigRecords + n, m_ConfigRecords + r);
            std::copy(m_InfoRecords + r + 1, m_InfoRecords + n, m_InfoRecords + r);
            std::copy(m_ReplySizes + r + 1, m_ReplySizes + n, m_ReplySizes + r);
            std::copy(m_ReplyInterfaces + r + 1, m_ReplyInterfaces + n, m_ReplyInterfaces + r);
            break;
        }
    }

    const int m = ui->listWidget->count();
    if (m >= Discovery::MaxDevices)
        return;
    const bool inUse =
        Discovery::storeReply(data, size, m_Headers[m], m_ConfigRecords[m], m_InfoRecords[m]);
    m_ReplySizes[m] = size;
    m_ReplyInterfaces[m] = InterfaceName(interfaceIndex);
    AddListEntry(m, inUse);
}

void MainWindow::AddListEntry(int row, bool inUse)
{
    const std::string text = Discovery::entryText(m_Headers[row], inUse);
    ui->listWidget->insertItem(ui->listWidget->count(),
                               QString::fromLatin1(text.data(), qsizetype(text.size())));
}
