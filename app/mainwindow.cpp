// SPDX-License-Identifier: MIT
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "editdevicedlg.h"
#include "network.h"
#include "sdrxxdialog.h"

#include <QDataStream>
#include <QDebug>
#include <QFileInfo>
#include <QLockFile>
#include <QNetworkProxy>
#include <QSettings>
#include <QShortcut>
#include <QTimer>

#include <string>
#include <vector>

namespace {

// Datagrams read before the event loop gets its turn again, so that the
// window's timers and drawing go on under a flood.
constexpr int ReadBatch = 256;

// Each row holds the reply it shows, so that clearing the list clears both.
constexpr int SerialRole = Qt::UserRole;
constexpr int ReplyRole = Qt::UserRole + 1;

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
      m_OpenWindows(0), m_bSettingsUsable(settingsReadable())
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
    // Broadcasts go out of this computer's own adapters, never through a
    // proxy; asking the system's proxy settings would also cost start-up.
    m_SendSocket.setProxy(QNetworkProxy::NoProxy);
    m_SendSocket.bind(QHostAddress::AnyIPv4, 0);

    m_pRecvSocket = new QUdpSocket(this);
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
        m_pReader.reset();
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

    // Taken now: replies arriving while a dialog is open may move the rows.
    const Core::Receiver row = ui->listWidget->item(r)->data(ReplyRole).value<Core::Receiver>();
    if (row.configurable) {
        CEditDeviceDlg dlg(this);
        dlg.m_Device = row.config;
        dlg.InitDialog();
        if (dlg.exec() && dlg.m_bDataChanged) {
            DeviceConfigRecord record = dlg.m_Device;
            record.head.opcode = Discovery::OpConfigure;
            // A message that never left changes nothing: the list stays.
            if (SendConfiguration(record, row.size, row.interfaceName)) {
                ui->listWidget->clear();
            }
        }
    } else {
        CSdrxxDialog dlg(this);
        dlg.m_InfoRecord = row.info;
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
        if (Core::bindReplyPort(*m_pRecvSocket, QHostAddress::Any,
                                QAbstractSocket::DefaultForPlatform)) {
            m_pReader = std::make_unique<Core::Reader>(*m_pRecvSocket);
            connect(m_pReader.get(), SIGNAL(readyRead()), this, SLOT(ReadUDPMessages()));
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
    const QByteArray bytes(reinterpret_cast<const char *>(message.data()),
                           qsizetype(message.size()));
    // Out of the adapter where the receiver answered: on a second adapter it
    // would never arrive, and a wire the user never chose must not get it.
    QString gone, failure;
    const Core::Destination to = Core::broadcastOn(interfaceName, &gone);
    if (!gone.isEmpty())
        failure = QStringLiteral("adapter %1 %2").arg(interfaceName, gone);
    else if (Core::sendTo(m_SendSocket, bytes, to, &failure))
        return true;
    qWarning("Vantrel: the configuration message was not sent: %s", qPrintable(failure));
    return false;
}

void MainWindow::SendDiscoverRequest()
{
    const auto request = Discovery::discoverRequest();
    const QByteArray bytes(reinterpret_cast<const char *>(request.data()),
                           qsizetype(request.size()));

    OpenReplyPort();

    // The directed broadcast of each IPv4 address of each adapter that is up.
    Core::SearchOptions directed;
    directed.directedOnly = true;
    for (const Core::Destination &d : Core::destinations(directed).destinations)
        Core::sendTo(m_SendSocket, bytes, d, nullptr);
    QTimer::singleShot(Discovery::SearchWindowMs, this, SLOT(CloseUdp()));
}

void MainWindow::ReadUDPMessages()
{
    if (!m_pReader)
        return;
    m_pReader->drain(ReadBatch, [this](const Core::Reader::Datagram &d) {
        // The common case under a flood, an invalid datagram, costs no copy.
        if (Discovery::isValidReply(reinterpret_cast<const std::uint8_t *>(d.data),
                                    std::size_t(d.size)))
            if (auto r = Core::parseReply(QByteArray::fromRawData(d.data, d.size),
                                          QHostAddress(d.from), d.interfaceIndex))
                TakeReply(*r);
        return true;
    });
}

void MainWindow::CloseUdp()
{
    // Only the end of the last window still open closes the port: an earlier
    // timer must not cut a newer search or configuration send short.
    if (m_OpenWindows > 0 && --m_OpenWindows > 0)
        return;
    if (m_bUdpOpen) {
        m_pReader.reset();
        m_pRecvSocket->close();
        m_bUdpOpen = false;
    }
}

void MainWindow::TakeReply(Core::Receiver reply)
{
    const QByteArray serial = reply.serial();
    for (int r = 0; r < ui->listWidget->count(); ++r) {
        if (ui->listWidget->item(r)->data(SerialRole).toByteArray() == serial) {
            delete ui->listWidget->takeItem(r);
            break;
        }
    }
    if (ui->listWidget->count() >= Discovery::MaxDevices)
        return;
    reply.interfaceName = m_InterfaceNames(reply.interfaceIndex);
    const std::string text = Discovery::entryText(reply.head, reply.inUse);
    auto *item = new QListWidgetItem(QString::fromLatin1(text.data(), qsizetype(text.size())));
    item->setData(SerialRole, serial);
    item->setData(ReplyRole, QVariant::fromValue(reply));
    ui->listWidget->addItem(item);
}
