#include "hostlink/hostconnections.h"

#include "core/logs.h"
#include "hostlink/commanddispatch.h"

#include <QTcpServer>
#include <QTcpSocket>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

std::atomic<int>& idleHandOverMs()
{
    static std::atomic<int> idle{HostConnections::IdleDataHandOverMs};
    return idle;
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

} // namespace

QString HostConnections::peerText(const QTcpSocket* socket)
{
    return QStringLiteral("[") + socket->peerAddress().toString() + QStringLiteral(":")
        + QString::number(socket->peerPort()) + QStringLiteral("]");
}

void HostConnections::setIdleHandOver(int milliseconds)
{
    idleHandOverMs() = milliseconds > 0 ? milliseconds : IdleDataHandOverMs;
}

HostConnections::HostConnections(Admission admission, CommandDispatch* receiver, LogFunction log, QObject* parent)
    : QObject(parent)
    , logRecord(std::move(log))
    , logging(Logs::AccessMemory())
    , dispatch(receiver)
{
    listener = new GuardedServer(this, std::move(admission));
    connect(listener, &QTcpServer::newConnection, this, &HostConnections::servePending);
}

HostConnections::~HostConnections()
{
    // Abort rather than close: nothing waits for a host that stopped reading, and the sockets'
    // own disconnection handlers must not run on a half-destroyed server.
    for (QTcpSocket* socket : {dataSocket.data(), videoSocket.data()}) {
        if (!socket)
            continue;
        socket->disconnect(this);
        socket->abort();
    }
    listener->close();
}

bool HostConnections::listen(const QHostAddress& bindTo, quint16 port, bool boundedReceive)
{
    if (listener->isListening())
        listener->close();
    if (!listener->listen(bindTo, port))
        return false;
    if (boundedReceive) {
        // Connections inherit the listener's receive buffer: a small one keeps what a flooding
        // host has sent but the station has not read yet short (the kernel would grow it to
        // megabytes), so the flood's end, and a close behind it, are reached soon after the
        // sender stops.
        const int receiveBuffer = ReadBuffer;
        ::setsockopt(static_cast<int>(listener->socketDescriptor()), SOL_SOCKET, SO_RCVBUF, &receiveBuffer,
                     sizeof receiveBuffer);
    }
    return true;
}

QString HostConnections::listenError() const
{
    return listener->errorString();
}

bool HostConnections::isListening() const
{
    return listener->isListening();
}

QHostAddress HostConnections::listenAddress() const
{
    return listener->serverAddress();
}

quint16 HostConnections::listenPort() const
{
    return listener->isListening() ? listener->serverPort() : 0;
}

void HostConnections::close()
{
    listener->close();
}

bool HostConnections::hasData() const
{
    return dataSocket && dataSocket->state() == QAbstractSocket::ConnectedState;
}

bool HostConnections::hasVideo() const
{
    return videoSocket && videoSocket->state() == QAbstractSocket::ConnectedState;
}

QString HostConnections::dataPeer() const
{
    if (!hasData())
        return QString();
    return dataSocket->peerAddress().toString() + QLatin1Char(':') + QString::number(dataSocket->peerPort());
}

void HostConnections::prepareSocket(QTcpSocket* socket)
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
    socket->setReadBufferSize(ReadBuffer);
}

bool HostConnections::peerStillThere(QTcpSocket* socket) const
{
    if (socket->state() != QAbstractSocket::ConnectedState)
        return false;
    // The socket may have waited in the listener's queue for a long time: a peer that closed
    // meanwhile shows as end of stream on a non-blocking peek.
    char probe = 0;
    const ssize_t got = ::recv(static_cast<int>(socket->socketDescriptor()), &probe, 1, MSG_PEEK | MSG_DONTWAIT);
    return got != 0;
}

bool HostConnections::peerHasClosed(QTcpSocket* socket) const
{
    struct tcp_info info = {};
    socklen_t length = sizeof info;
    if (::getsockopt(static_cast<int>(socket->socketDescriptor()), IPPROTO_TCP, TCP_INFO, &info, &length) != 0)
        return false;
    return info.tcpi_state == TCP_CLOSE_WAIT; // the peer's FIN has arrived, behind all its data
}

void HostConnections::servePending()
{
    while (listener->hasPendingConnections()) {
        // A host that closed its data connection and connects again at once can be here before
        // its close has been handled: its new connection would be taken for the video
        // connection of the old one and closed with it. End the old connection first.
        if (dataSocket && dataSocket->isOpen() && !peerStillThere(dataSocket)) {
            endData(dataSocket); // serves the waiting connections itself
            return;
        }
        // A host that closed its data connection right after a burst of text and connects again:
        // its last bytes are still being served (the station reads within a bound), so its
        // close has not been seen yet. The newcomer waits for the data role instead of taking
        // the video role of a connection that is already over.
        if (dataSocket && dataSocket->isOpen() && peerHasClosed(dataSocket))
            return;
        const bool dataFree = !dataSocket || !dataSocket->isOpen();
        const bool videoFree = !dataFree && (!videoSocket || !videoSocket->isOpen());
        // A host opens its video connection right after its data connection. A data connection
        // that has said nothing for long and has no video connection beside it is not a host
        // at work (a stranger, a tool that kept its socket): the newcomer takes the data role.
        if (!dataFree && videoFree && !dataSpoke && dataSince.isValid() && dataSince.elapsed() >= idleHandOverMs()) {
            logRecord(QStringLiteral("Data connection from %1 sent nothing in %2 s and opened no video connection: "
                                     "closed so that a new connection takes the data role")
                          .arg(peerText(dataSocket))
                          .arg(dataSince.elapsed() / 1000),
                      QString());
            endData(dataSocket); // serves the waiting connections itself
            return;
        }
        if (!dataFree && !videoFree)
            return; // both roles taken: the connection waits in the listener's queue

        QTcpSocket* socket = listener->nextPendingConnection();
        if (!socket)
            return;
        if (!peerStillThere(socket)) {
            logRecord(QStringLiteral("Waiting connection from ") + peerText(socket)
                          + QStringLiteral(" discarded: its peer has already closed it"),
                      QString());
            socket->abort();
            socket->deleteLater();
            continue;
        }
        prepareSocket(socket);
        if (dataFree)
            acceptData(socket);
        else
            acceptVideo(socket);
    }
}

void HostConnections::acceptData(QTcpSocket* socket)
{
    retire(dataSocket);
    dataSocket = socket;
    dataSince.start();
    dataSpoke = false;
    connect(socket, &QTcpSocket::disconnected, this, &HostConnections::dataDisconnected);
    connect(socket, &QTcpSocket::readyRead, this, &HostConnections::readData);
    hostSession = ++sessionsAccepted;
    dispatch->beginSession(hostSession);
    logging->udebug(QStringLiteral("New Data connection from ") + peerText(socket));
    emit dataAccepted(socket);
    // Text that arrived while the connection waited in the queue raises no new signal.
    if (socket->bytesAvailable() > 0)
        readData();
}

void HostConnections::acceptVideo(QTcpSocket* socket)
{
    retire(videoSocket);
    videoSocket = socket;
    emit videoAccepted(socket);
    connect(socket, &QTcpSocket::disconnected, this, &HostConnections::videoDisconnected);
    connect(socket, &QTcpSocket::readyRead, this, &HostConnections::videoReadyRead, Qt::QueuedConnection);
    logging->udebug(QStringLiteral("New Video connection from ") + peerText(socket));
}

void HostConnections::retire(QTcpSocket* socket)
{
    if (!socket)
        return;
    socket->disconnect(this);
    if (socket->isOpen())
        socket->close();
    socket->deleteLater();
}

void HostConnections::readData()
{
    if (dataSocket && dispatch->receive(dataSocket))
        dataSpoke = true;
}

void HostConnections::dataDisconnected()
{
    QTcpSocket* socket = dataSocket;
    // A retired socket finishing its close must not end the current connection.
    if (!socket || (sender() && sender() != socket))
        return;
    endData(socket);
}

void HostConnections::endData(QTcpSocket* socket)
{
    // Whatever the host sent before closing is still served.
    dispatch->endSession(socket);

    hostSession = 0;
    // Closing a socket whose peer has gone without Qt noticing yet emits disconnected(): that
    // must not come back here as a second end of the same connection.
    socket->disconnect(this);
    if (socket->isOpen())
        socket->close();
    logging->udebug(QStringLiteral("Tessarix Data Disconnected"));
    QTcpSocket* video = videoSocket;
    if (video && video->isOpen())
        video->close();

    emit ended();
    retire(socket);
    retire(video);
    dataSocket = nullptr;
    videoSocket = nullptr;
    dataSince.invalidate();
    dataSpoke = false;

    // Connections that arrived while both roles were taken are served now, in arrival order.
    servePending();
}

void HostConnections::videoDisconnected()
{
    if (sender() && sender() != videoSocket)
        return;
    // The video socket stays open on purpose: the video role is only released together with
    // the data connection, so a host reconnects data and video in that order.
    logging->udebug(QStringLiteral("Tessarix VStream Disconnected"));
}

void HostConnections::videoReadyRead()
{
    // The host has nothing to say on the video connection; what it sends is discarded so that
    // it does not pile up in the socket.
    if (videoSocket)
        videoSocket->readAll();
}
