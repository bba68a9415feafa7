#include "hostlink/veltraxserver.h"

#include "core/logs.h"
#include "core/registry.h"
#include "core/stoprequest.h"
#include "hostlink/hostmessages.h"

#include <QDeadlineTimer>
#include <QRegularExpression>
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>

#include <algorithm>
#include <chrono>
#include <exception>
#include <functional>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

// Construction-time settings; written before the first AccessMemory(), read by the constructor.
struct Endpoint
{
    std::mutex mutex;                                // guards address, port
    QHostAddress address;                            // null: the HOSTLISTEN setting
    quint16 port = VeltraxServer::DefaultPort;
};

Endpoint& endpoint()
{
    static Endpoint configured;
    return configured;
}

std::atomic<int>& writeTimeoutMs()
{
    static std::atomic<int> timeout{VeltraxServer::DefaultWriteTimeoutMs};
    return timeout;
}

std::atomic<int>& idleHandOverMs()
{
    static std::atomic<int> idle{VeltraxServer::IdleDataHandOverMs};
    return idle;
}

// A host that has not read this much of what the data connection queued for it is gone.
constexpr qint64 DataBacklogLimit = 64LL * 1024 * 1024;
// A host command as log records quote it: escaped and cut (see logtext::Safe).
QString quoted(const QString& text)
{
    return logtext::Safe(text, logtext::QuoteBytes);
}

QString peerText(const QTcpSocket* socket)
{
    return QStringLiteral("[") + socket->peerAddress().toString() + QStringLiteral(":")
        + QString::number(socket->peerPort()) + QStringLiteral("]");
}

// The listener hands every new connection to a check before it is queued: a refused peer
// never reaches a role, however long the queue.
class GuardedServer : public QTcpServer
{
public:
    GuardedServer(QObject* parent, std::function<bool(QTcpSocket*)> check)
        : QTcpServer(parent)
        , admit(std::move(check))
    {
    }

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto* socket = new QTcpSocket(this);
        if (!socket->setSocketDescriptor(descriptor)) {
            ::close(static_cast<int>(descriptor));
            delete socket;
            return;
        }
        if (!admit(socket)) {
            socket->abort();
            socket->deleteLater();
            return;
        }
        addPendingConnection(socket);
    }

private:
    std::function<bool(QTcpSocket*)> admit;
};

// An IPv4 peer reached through an IPv6 listener shows as ::ffff:a.b.c.d.
QHostAddress plainAddress(const QHostAddress& address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4) : address;
}

} // namespace

HostLinkSettings HostLinkSettings::fromRegistry(Registry& registry)
{
    HostLinkSettings read;
    read.allow = settings::readText(registry, settings::host::Allow).trimmed();
    read.listen = settings::readText(registry, settings::host::Listen).trimmed();
    return read;
}

HostAllowList HostAllowList::parse(const QString& text, QStringList* rejected)
{
    HostAllowList list;
    const QStringList entries = text.split(QRegularExpression(QStringLiteral("[,;\\s]+")), Qt::SkipEmptyParts);
    if (entries.isEmpty() || entries.contains(QStringLiteral("*")))
        return list;
    list.all = false;
    for (const QString& entry : entries) {
        QPair<QHostAddress, int> subnet;
        if (entry.contains(QLatin1Char('/'))) {
            subnet = QHostAddress::parseSubnet(entry);
        } else {
            const QHostAddress address = plainAddress(QHostAddress(entry));
            subnet = qMakePair(address, address.protocol() == QAbstractSocket::IPv4Protocol ? 32 : 128);
        }
        if (subnet.first.isNull() || subnet.second < 0) {
            if (rejected)
                *rejected << entry;
            continue;
        }
        list.subnets << subnet;
    }
    return list;
}

bool HostAllowList::admits(const QHostAddress& peer) const
{
    if (all)
        return true;
    const QHostAddress address = plainAddress(peer);
    for (const auto& subnet : subnets)
        if (address.isInSubnet(subnet))
            return true;
    return false;
}

QString HostAllowList::describe() const
{
    if (all)
        return QStringLiteral("everyone");
    if (subnets.isEmpty())
        return QStringLiteral("nobody");
    QStringList shown;
    for (const auto& subnet : subnets)
        shown << subnet.first.toString() + QLatin1Char('/') + QString::number(subnet.second);
    return shown.join(QStringLiteral(", "));
}

void VeltraxServer::SetListenEndpoint(const QHostAddress& address, quint16 port)
{
    Endpoint& configured = endpoint();
    std::lock_guard<std::mutex> endpointLock(configured.mutex);
    configured.address = address;
    configured.port = port;
}

void VeltraxServer::SetIdleHandOver(int milliseconds)
{
    idleHandOverMs() = milliseconds > 0 ? milliseconds : IdleDataHandOverMs;
}

void VeltraxServer::SetWriteTimeout(int milliseconds)
{
    writeTimeoutMs() = milliseconds > 0 ? milliseconds : DefaultWriteTimeoutMs;
}

VeltraxServer::VeltraxServer(QObject* parent)
    : QThread(parent)
{
    qRegisterMetaType<QImage>("QImage");
    logging = Logs::AccessMemory();

    // The settings store exists when the station starts (it is created before the server);
    // without one (a test of the server alone) the defaults hold.
    HostLinkSettings hostSettings;
    if (Registry* registry = Registry::Existing())
        hostSettings = HostLinkSettings::fromRegistry(*registry);
    QStringList rejected;
    allowList = HostAllowList::parse(hostSettings.allow, &rejected);
    if (!rejected.isEmpty())
        LogDebug(QStringLiteral("%1: ignored entries that are neither an address nor a subnet: %2")
                     .arg(settings::key(settings::host::Allow), rejected.join(QStringLiteral(", "))));
    LogDebug(QStringLiteral("Connections accepted from: ") + allowList.describe());

    Server = new GuardedServer(this, [this](QTcpSocket* socket) { return admitConnection(socket); });
    connect(Server, SIGNAL(newConnection()), this, SLOT(newConnection()));
    // Queued when emitted from the server thread: replies are written by the main thread.
    connect(this, SIGNAL(HandleDataSend(QString)), this, SLOT(Send(QString)));
    connect(this, SIGNAL(HandleSessionSend(quint64, QString)), this, SLOT(SendToSession(quint64, QString)));

    QHostAddress address;
    quint16 port = DefaultPort;
    {
        Endpoint& configured = endpoint();
        std::lock_guard<std::mutex> endpointLock(configured.mutex);
        address = configured.address;
        port = configured.port;
    }
    QString listenOn = address.isNull() ? hostSettings.listen : address.toString();
    if (QHostAddress(listenOn).isNull()) {
        LogDebug(QStringLiteral("%1 \"%2\" is not a numeric address: listening on every IPv4 interface")
                     .arg(settings::key(settings::host::Listen), listenOn));
        listenOn = settings::defaultText(settings::host::Listen);
    }
    try {
        RunServer(listenOn, port);
    } catch (const std::exception& e) {
        logging->udebug(QStringLiteral("Running Server..") + QString::fromLocal8Bit(e.what()));
    }

    ServerRun = true;
    start(QThread::TimeCriticalPriority);
}

VeltraxServer::~VeltraxServer()
{
    ServerRun = false;
    {
        std::lock_guard<std::mutex> receiveLock(receiveMutex);
        receiveArrived.notify_all();
    }
    wait();

    // Abort rather than close: nothing waits for a host that stopped reading, and the sockets'
    // own disconnection handlers must not run on a half-destroyed server.
    for (QTcpSocket* socket : {TXSingleConnection.data(), VideoStreamConnection.data()}) {
        if (!socket)
            continue;
        socket->disconnect(this);
        socket->abort();
    }
    Server->close();
    logging->udebug(QStringLiteral("Server Destruction"));
}

quint16 VeltraxServer::ListenPort() const
{
    return Server->isListening() ? Server->serverPort() : 0;
}

bool VeltraxServer::IsListening() const
{
    return Server->isListening();
}

bool VeltraxServer::HasDataConnection() const
{
    return TXSingleConnection && TXSingleConnection->state() == QAbstractSocket::ConnectedState;
}

QString VeltraxServer::DataPeerAddress() const
{
    if (!HasDataConnection())
        return QString();
    return TXSingleConnection->peerAddress().toString() + QLatin1Char(':') + QString::number(TXSingleConnection->peerPort());
}

bool VeltraxServer::HasVideoConnection() const
{
    return VideoStreamConnection && VideoStreamConnection->state() == QAbstractSocket::ConnectedState;
}

int VeltraxServer::PendingReceiveSize() const
{
    std::lock_guard<std::mutex> receiveLock(receiveMutex);
    return framer.size();
}

bool VeltraxServer::RunServer(QString address, quint16 port)
{
    // Only a numeric address is taken; anything else (a host name) means every IPv4 interface.
    Addr = QHostAddress(address);
    const QHostAddress bindTo = Addr.isNull() ? QHostAddress(QHostAddress::AnyIPv4) : Addr;
    if (Server->isListening())
        Server->close();
    if (!Server->listen(bindTo, port)) {
        LogDebug(QStringLiteral("Listening failed on %1 : %2: %3. The station runs without a host link.")
                     .arg(bindTo.toString())
                     .arg(port)
                     .arg(Server->errorString()));
        return false;
    }
    // Connections inherit the listener's receive buffer: a small one keeps what a flooding host
    // has sent but the station has not read yet short (the kernel would grow it to megabytes),
    // so the flood's end, and a close behind it, are reached soon after the sender stops.
    const int receiveBuffer = ReadChunk;
    ::setsockopt(static_cast<int>(Server->socketDescriptor()), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    logging->udebug(QStringLiteral("Listening ") + Server->serverAddress().toString() + QStringLiteral(" : ")
                    + QString::number(Server->serverPort()));
    return true;
}

bool VeltraxServer::RunVideoStream(QString address, quint16 port)
{
    VideoStreamAddr = QHostAddress(address);
    const QHostAddress bindTo = VideoStreamAddr.isNull() ? QHostAddress(QHostAddress::AnyIPv4) : VideoStreamAddr;
    if (Server->isListening())
        Server->close();
    if (!Server->listen(bindTo, port)) {
        LogDebug(QStringLiteral("Listening failed on %1 : %2: %3").arg(address).arg(port).arg(Server->errorString()));
        return false;
    }
    logging->udebug(QStringLiteral("Listening ") + address + QStringLiteral(" : ") + QString::number(port));
    return true;
}

void VeltraxServer::LogDebug(QString text, const QString& kind)
{
    logging->udebug(QStringLiteral("TCP Server: ") + text, kind.isEmpty() ? kind : QStringLiteral("TCP Server: ") + kind);
}

QString VeltraxServer::TXData(int index)
{
    if (index < 0 || index >= Buffer.size())
        return QStringLiteral("-1");
    return Buffer.at(index);
}

void VeltraxServer::ValidateImageSavingRequest()
{
    // Called from the camera thread: the signal is queued to the main thread, which writes.
    emit HandleDataSend(QLatin1String(hostmessages::SnapshotDone));
}

// ---------------------------------------------------------------------------------------------
// Connections (main thread)

void VeltraxServer::newConnection()
{
    servePendingConnections();
}

bool VeltraxServer::admitConnection(QTcpSocket* socket)
{
    if (allowList.admits(socket->peerAddress()))
        return true;
    ++refusedConnections;
    LogDebug(QStringLiteral("Connection refused from %1 (%2 refused so far): %3 admits %4")
                 .arg(peerText(socket))
                 .arg(refusedConnections)
                 .arg(settings::key(settings::host::Allow), allowList.describe()),
             QStringLiteral("Connection refused"));
    return false;
}

void VeltraxServer::prepareSocket(QTcpSocket* socket)
{
    // Messages are short and answered at once (GMS/MOVESTAT per motion wait): do not let
    // Nagle's algorithm hold them back waiting for the peer's acknowledgement.
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    // A host that vanished without closing (power lost, cable pulled) is found by keepalive
    // probes, so that it does not hold its role for ever.
    socket->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    const int fd = static_cast<int>(socket->socketDescriptor());
    const int idle = KeepAliveIdleS, interval = KeepAliveIntervalS, probes = KeepAliveProbes;
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
    // What Qt reads ahead of the station is bounded too; the kernel's buffer then fills and
    // the host's sends wait.
    socket->setReadBufferSize(ReadChunk);
}

bool VeltraxServer::peerStillThere(QTcpSocket* socket) const
{
    if (socket->state() != QAbstractSocket::ConnectedState)
        return false;
    // The socket may have waited in the listener's queue for a long time: a peer that closed
    // meanwhile shows as end of stream on a non-blocking peek.
    char probe = 0;
    const ssize_t got = ::recv(static_cast<int>(socket->socketDescriptor()), &probe, 1, MSG_PEEK | MSG_DONTWAIT);
    return got != 0;
}

bool VeltraxServer::peerHasClosed(QTcpSocket* socket) const
{
    struct tcp_info info = {};
    socklen_t length = sizeof info;
    if (::getsockopt(static_cast<int>(socket->socketDescriptor()), IPPROTO_TCP, TCP_INFO, &info, &length) != 0)
        return false;
    return info.tcpi_state == TCP_CLOSE_WAIT; // the peer's FIN has arrived, behind all its data
}

void VeltraxServer::servePendingConnections()
{
    while (Server->hasPendingConnections()) {
        // A host that closed its data connection and connects again at once can be here before
        // its close has been handled: its new connection would be taken for the video
        // connection of the old one and closed with it. End the old connection first.
        if (TXSingleConnection && TXSingleConnection->isOpen() && !peerStillThere(TXSingleConnection)) {
            endDataConnection(TXSingleConnection); // serves the waiting connections itself
            return;
        }
        // A host that closed its data connection right after a burst of text and connects again:
        // its last bytes are still being served (the station reads within a bound), so its
        // close has not been seen yet. The newcomer waits for the data role instead of taking
        // the video role of a connection that is already over.
        if (TXSingleConnection && TXSingleConnection->isOpen() && peerHasClosed(TXSingleConnection))
            return;
        const bool dataFree = !TXSingleConnection || !TXSingleConnection->isOpen();
        const bool videoFree = !dataFree && (!VideoStreamConnection || !VideoStreamConnection->isOpen());
        // A host opens its video connection right after its data connection. A data connection
        // that has said nothing for long and has no video connection beside it is not a host
        // at work (a stranger, a tool that kept its socket): the newcomer takes the data role.
        if (!dataFree && videoFree && !dataSpoke && dataSince.isValid() && dataSince.elapsed() >= idleHandOverMs()) {
            LogDebug(QStringLiteral("Data connection from %1 sent nothing in %2 s and opened no video connection: "
                                    "closed so that a new connection takes the data role")
                         .arg(peerText(TXSingleConnection))
                         .arg(dataSince.elapsed() / 1000));
            endDataConnection(TXSingleConnection); // serves the waiting connections itself
            return;
        }
        if (!dataFree && !videoFree)
            return; // both roles taken: the connection waits in the listener's queue

        QTcpSocket* socket = Server->nextPendingConnection();
        if (!socket)
            return;
        if (!peerStillThere(socket)) {
            LogDebug(QStringLiteral("Waiting connection from ") + peerText(socket)
                     + QStringLiteral(" discarded: its peer has already closed it"));
            socket->abort();
            socket->deleteLater();
            continue;
        }
        prepareSocket(socket);

        if (dataFree) {
            retireSocket(TXSingleConnection);
            TXSingleConnection = socket;
            dataStalled = false;
            decoder.reset();
            dataSince.start();
            dataSpoke = false;
            connect(socket, SIGNAL(disconnected()), this, SLOT(Disconnection()));
            connect(socket, SIGNAL(readyRead()), this, SLOT(readyRead()));
            connect(socket, &QTcpSocket::bytesWritten, this, [this, socket]() {
                if (socket == TXSingleConnection && socket->bytesToWrite() == 0)
                    dataStalled = false;
            });
            hostSession = ++sessionsAccepted;
            {
                std::lock_guard<std::mutex> receiveLock(receiveMutex);
                framerSession = hostSession;
            }
            logging->udebug(QStringLiteral("New Data connection from ") + peerText(socket));
            if (droppedWithoutHost > 0) {
                LogDebug(QStringLiteral("%1 messages were dropped while no host was connected").arg(droppedWithoutHost));
                droppedWithoutHost = 0;
            }
            emit HandleDataSend(QLatin1String(hostmessages::Connected));
            // Text that arrived while the connection waited in the queue raises no new signal.
            if (socket->bytesAvailable() > 0)
                drainDataSocket();
        } else {
            retireSocket(VideoStreamConnection);
            VideoStreamConnection = socket;
            videoStalled = false;
            connect(socket, SIGNAL(disconnected()), this, SLOT(VDisconnection()));
            connect(socket, SIGNAL(readyRead()), this, SLOT(VreadyRead()), Qt::QueuedConnection);
            connect(socket, &QTcpSocket::bytesWritten, this, [this, socket]() {
                if (socket == VideoStreamConnection && socket->bytesToWrite() == 0)
                    videoStalled = false;
            });
            logging->udebug(QStringLiteral("New Video connection from ") + peerText(socket));
        }
    }
}

void VeltraxServer::retireSocket(QTcpSocket* socket)
{
    if (!socket)
        return;
    socket->disconnect(this);
    if (socket->isOpen())
        socket->close();
    socket->deleteLater();
}

void VeltraxServer::drainDataSocket(bool everything)
{
    QTcpSocket* socket = TXSingleConnection;
    if (!socket)
        return;
    while (socket->bytesAvailable() > 0) {
        {
            std::lock_guard<std::mutex> receiveLock(receiveMutex);
            receiveThrottled = false;
            // Past the bound, wait for the server thread; but text without a complete message
            // is read on, since only more text can finish it (the framer's cap bounds it).
            if (!everything && framer.size() + interpreting >= ReceiveBound && framer.hasCompleteMessage()) {
                receiveThrottled = true;
                return;
            }
        }
        const QByteArray bytes = socket->read(everything ? socket->bytesAvailable() : ReadChunk);
        if (bytes.isEmpty())
            return;
        dataSpoke = true;
        const QString text = decoder.decode(bytes);
        std::lock_guard<std::mutex> receiveLock(receiveMutex);
        framer.append(text);
        receiveArrived.notify_one();
    }
}

void VeltraxServer::readyRead()
{
    drainDataSocket();
}

void VeltraxServer::Disconnection()
{
    QTcpSocket* socket = TXSingleConnection;
    // A retired socket finishing its close must not end the current connection.
    if (!socket || (sender() && sender() != socket))
        return;
    endDataConnection(socket);
}

void VeltraxServer::endDataConnection(QTcpSocket* socket)
{
    // Whatever the host sent before closing is still served; only an unfinished message is
    // dropped, so that the next host does not inherit the head of a message.
    drainDataSocket(true);
    int dropped = decoder.reset();
    {
        std::lock_guard<std::mutex> receiveLock(receiveMutex);
        for (const QString& command : framer.takeCommands())
            readyCommands.append(qMakePair(framerSession, command));
        dropped += framer.clear();
        framerSession = 0;
        receiveThrottled = false;
        receiveArrived.notify_one();
    }
    if (dropped > 0)
        LogDebug(QStringLiteral("Unfinished message of %1 characters discarded at disconnection").arg(dropped));

    hostSession = 0;
    // Closing a socket whose peer has gone without Qt noticing yet emits disconnected(): that
    // must not come back here as a second end of the same connection.
    socket->disconnect(this);
    if (socket->isOpen())
        socket->close();
    logging->udebug(QStringLiteral("Tessarix Data Disconnected"));
    QTcpSocket* video = VideoStreamConnection;
    if (video && video->isOpen())
        video->close();

    retireSocket(socket);
    retireSocket(video);
    TXSingleConnection = nullptr;
    VideoStreamConnection = nullptr;
    dataSince.invalidate();
    dataSpoke = false;
    dataStalled = false;
    videoStalled = false;

    // Connections that arrived while both roles were taken are served now, in arrival order.
    servePendingConnections();
}

void VeltraxServer::VDisconnection()
{
    if (sender() && sender() != VideoStreamConnection)
        return;
    // The video socket stays open on purpose: the video role is only released together with
    // the data connection, so a host reconnects data and video in that order.
    logging->udebug(QStringLiteral("Tessarix VStream Disconnected"));
}

void VeltraxServer::VreadyRead()
{
    // The host has nothing to say on the video connection; what it sends is discarded so that
    // it does not pile up in the socket.
    if (VideoStreamConnection)
        VideoStreamConnection->readAll();
}

// ---------------------------------------------------------------------------------------------
// Sending (main thread)

bool VeltraxServer::writeAndWait(QTcpSocket* socket, const QByteArray& bytes, const char* what)
{
    const bool isData = socket == TXSingleConnection;
    bool& stalled = isData ? dataStalled : videoStalled;

    const qint64 written = socket->write(bytes);
    if (written != bytes.size()) {
        LogDebug(QStringLiteral("%1 of %2 bytes could not be written: %3")
                     .arg(QLatin1String(what))
                     .arg(bytes.size())
                     .arg(socket->errorString()));
        return false;
    }
    if (stalled) {
        // The host stopped reading earlier: queue without waiting again, within a bound.
        if (isData && socket->bytesToWrite() > DataBacklogLimit) {
            LogDebug(QStringLiteral("Data connection aborted: the host has not read %1 bytes").arg(socket->bytesToWrite()));
            socket->abort();
        }
        return false;
    }

    const int timeout = writeTimeoutMs();
    QDeadlineTimer deadline(timeout);
    while (socket->bytesToWrite() > 0) {
        if (socket->state() != QAbstractSocket::ConnectedState) {
            LogDebug(QStringLiteral("%1 not completely written: the connection ended").arg(QLatin1String(what)));
            return false;
        }
        if (veltrax::StopRequested.load()) {
            stalled = true;
            LogDebug(QStringLiteral("%1 abandoned (%2 bytes still queued): the station is stopping")
                         .arg(QLatin1String(what))
                         .arg(socket->bytesToWrite()));
            return false;
        }
        const qint64 remaining = deadline.remainingTime();
        if (remaining <= 0) {
            stalled = true;
            LogDebug(QStringLiteral("%1 not written within %2 ms (%3 bytes still queued); the host is not reading")
                         .arg(QLatin1String(what))
                         .arg(timeout)
                         .arg(socket->bytesToWrite()));
            return false;
        }
        // Wait in short slices so that a stop request is seen while the host is not reading.
        if (!socket->waitForBytesWritten(static_cast<int>(std::min<qint64>(remaining, 50)))) {
            if (socket->bytesToWrite() == 0)
                break;
            if (socket->state() != QAbstractSocket::ConnectedState)
                continue;
            if (socket->error() != QAbstractSocket::SocketTimeoutError) {
                LogDebug(QStringLiteral("%1 not written: %2").arg(QLatin1String(what), socket->errorString()));
                return false;
            }
        }
    }
    return true;
}

void VeltraxServer::Send(QString text, QImage image)
{
    cmdindex = hostprotocol::nextSequence(cmdindex);
    QTcpSocket* socket = TXSingleConnection;
    if (!socket || socket->state() != QAbstractSocket::ConnectedState) {
        if (droppedWithoutHost == 0)
            LogDebug(QStringLiteral("No host connected: \"%1\" and later messages are dropped").arg(quoted(text)));
        ++droppedWithoutHost;
        return;
    }

    if (image.isNull()) {
        writeAndWait(socket, hostprotocol::textFrame(cmdindex, text), "Message");
        return;
    }

    const QByteArray bmp = hostprotocol::encodeBmp(image);
    if (bmp.isEmpty()) {
        // Without a BMP header the host could not find the end of the message.
        LogDebug(QStringLiteral("Image message \"%1\" not sent: the %2x%3 image could not be encoded as BMP")
                     .arg(quoted(text))
                     .arg(image.width())
                     .arg(image.height()));
        return;
    }
    QFile copy(QStringLiteral("test.bmp"));
    if (!copy.open(QIODevice::WriteOnly | QIODevice::Truncate) || copy.write(bmp) != bmp.size())
        LogDebug(QStringLiteral("Could not write test.bmp: ") + copy.errorString());
    copy.close();
    writeAndWait(socket, hostprotocol::imageMessage(cmdindex, text, bmp), "Image message");
}

void VeltraxServer::SendToSession(quint64 session, QString text, QImage image)
{
    if (session != 0 && session != hostSession.load()) {
        // The host that asked has gone: its request's texts are not for anyone else. A burst of
        // them is counted by the log, not written line by line.
        LogDebug(QStringLiteral("\"%1\" not sent: it belongs to a host that has left").arg(quoted(text)),
                 QStringLiteral("text for a host that has left"));
        // Numbered all the same, like any text dropped for want of a host.
        cmdindex = hostprotocol::nextSequence(cmdindex);
        return;
    }
    Send(text, image);
}

void VeltraxServer::FluxWrite(QByteArray payload)
{
    QTcpSocket* socket = VideoStreamConnection;
    if (!socket || socket->state() != QAbstractSocket::ConnectedState) {
        LogDebug(QStringLiteral("Video frame of %1 bytes dropped: no video connection").arg(payload.size()));
        return;
    }
    if (videoStalled) {
        LogDebug(QStringLiteral("Video frame of %1 bytes dropped: the host has not read the previous frame (%2 bytes queued)")
                     .arg(payload.size())
                     .arg(socket->bytesToWrite()));
        return;
    }
    // Header and payload leave in one write: a reader sees the header followed by exactly the
    // number of bytes it announces.
    writeAndWait(socket, hostprotocol::videoHeader(payload.size()) + payload, "Video frame");
}

// ---------------------------------------------------------------------------------------------
// Server thread

namespace {
// The framer's note about a message without a tag; such notes are counted, not repeated.
const QString UntaggedNote = QStringLiteral("Message without tag discarded");
} // namespace

// receiveMutex held. Reading stopped at the bound starts again once half of it is free.
void VeltraxServer::resumeReceiveIfThrottled()
{
    if (!receiveThrottled || framer.size() + interpreting >= ReceiveBound / 2)
        return;
    receiveThrottled = false;
    QMetaObject::invokeMethod(this, [this]() { drainDataSocket(); }, Qt::QueuedConnection);
}

void VeltraxServer::run()
{
    std::unique_lock<std::mutex> receiveLock(receiveMutex);
    while (ServerRun) {
        QVector<QPair<quint64, QString>> commands;
        commands.swap(readyCommands);
        for (const QString& command : framer.takeCommands())
            commands.append(qMakePair(framerSession, command));
        const QStringList notes = framer.takeNotes();
        if (commands.isEmpty() && notes.isEmpty()) {
            // Woken by arriving text; the time-out keeps the stop flag checked.
            receiveArrived.wait_for(receiveLock, std::chrono::milliseconds(2));
            continue;
        }
        qint64 left = 0;
        for (const auto& entry : commands)
            left += entry.second.size() + 2; // and its tag's ":" and its ";", at least
        interpreting = left;
        receiveLock.unlock();
        for (const QString& note : notes)
            LogDebug(note, note.startsWith(UntaggedNote) ? UntaggedNote : QString());
        int done = 0;
        for (const auto& entry : commands) {
            if (!ServerRun)
                break;
            commandSession = entry.first;
            try {
                CMDTranslateExec(entry.second);
            } catch (const std::exception& e) {
                LogDebug(QStringLiteral("Exception while interpreting \"%1\": %2")
                             .arg(quoted(entry.second), QString::fromLocal8Bit(e.what())),
                         QStringLiteral("Exception while interpreting"));
            }
            left -= entry.second.size() + 2;
            if (++done % 1024 == 0) {
                receiveLock.lock();
                interpreting = left;
                resumeReceiveIfThrottled();
                receiveLock.unlock();
            }
            commandSession = 0;
        }
        receiveLock.lock();
        interpreting = 0;
        resumeReceiveIfThrottled();
    }
    receiveLock.unlock();
    logging->udebug(QStringLiteral("Server Stopped"));
}

int VeltraxServer::CMDTranslateExec(QString text)
{
    using hostprotocol::Action;
    const Action action = hostprotocol::interpretCommand(text);

    // The reply is queued before the command's signal, so the host always sees the
    // acknowledgement ahead of anything the command itself makes the station send.
    // Both go to the host that sent the command only: a command it sent just before leaving is
    // still interpreted, but its reply and what it starts must not reach the next host.
    // Commands that emit nothing (APPX, unknown or malformed ones) do not announce their session
    // either: a flood of them must not queue an event per command for the main thread.
    switch (action.kind) {
    case Action::Appx:
    case Action::Unknown:
    case Action::CoordsMalformed:
    case Action::MotionStatusMalformed:
        break;
    default:
        emit CommandSession(commandSession);
    }
    if (!action.reply.isEmpty()) {
        if (commandSession != 0)
            emit HandleSessionSend(commandSession, action.reply);
        else
            emit HandleDataSend(action.reply);
    }

    if (action.unreadableFields > 0)
        LogDebug(QStringLiteral("%1 field(s) that are not numbers read as 0 in \"%2\"")
                     .arg(action.unreadableFields)
                     .arg(quoted(action.command)),
                 QStringLiteral("Fields that are not numbers read as 0"));

    switch (action.kind) {
    case Action::Coords:
        emit NewCoord(action.values[0], action.values[1], action.values[2], action.values[3], action.values[4]);
        break;
    case Action::CoordsMalformed:
        LogDebug(QStringLiteral("COORDS with fewer than five fields ignored: \"%1\"").arg(quoted(action.command)),
                 QStringLiteral("COORDS with fewer than five fields ignored"));
        break;
    case Action::AlignInscription:
        emit StartAutoAlignement(false);
        break;
    case Action::AlignFront:
        emit StartMFAutoAlignement(false);
        break;
    case Action::Scan:
        emit StartAutoScan();
        break;
    case Action::Appx:
        break;
    case Action::MotionStatus:
        emit NewMotionStatus(action.status[0], action.status[1], action.status[2]);
        break;
    case Action::MotionStatusMalformed:
        LogDebug(QStringLiteral("MOVESTAT without exactly three fields ignored: \"%1\"").arg(quoted(action.command)),
                 QStringLiteral("MOVESTAT without exactly three fields ignored"));
        break;
    case Action::EngageXAlign:
        emit EngageAutoXAlign();
        break;
    case Action::SaveImage:
        emit SavingImageRequest();
        break;
    case Action::StreamFrame:
        emit StramRequest();
        break;
    case Action::Unknown:
        logging->udebug(QStringLiteral("CMD TO ADD ") + quoted(action.command), QStringLiteral("CMD TO ADD"));
        return -1;
    }
    return 0;
}
