#include "hostlink/veltraxserver.h"

#include "core/logs.h"
#include "core/registry.h"
#include "hostlink/hostmessages.h"
#include "hostlink/videolink.h"

#include <QTcpSocket>

#include <exception>
#include <mutex>

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

} // namespace

HostLinkSettings HostLinkSettings::fromRegistry(Registry& registry)
{
    HostLinkSettings read;
    read.allow = settings::readText(registry, settings::host::Allow).trimmed();
    read.listen = settings::readText(registry, settings::host::Listen).trimmed();
    return read;
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
    HostConnections::setIdleHandOver(milliseconds);
}

void VeltraxServer::SetWriteTimeout(int milliseconds)
{
    DataWriter::setTimeout(milliseconds);
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

    wireParts();
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

void VeltraxServer::wireParts()
{
    const auto log = [this](const QString& text, const QString& kind) { LogDebug(text, kind); };
    dispatch = new CommandDispatch(log, this);
    writer = new DataWriter(log, this);
    video = new VideoLink(log, this);
    connections = new HostConnections([this](QTcpSocket* socket) { return admitConnection(socket); }, dispatch, log, this);

    // The server thread asks the main thread to read on once it has caught up.
    connect(dispatch, &CommandDispatch::readingMayResume, connections, &HostConnections::readData, Qt::QueuedConnection);
    connect(connections, &HostConnections::dataAccepted, this, [this](QTcpSocket* socket) {
        writer->attach(socket);
        emit HandleDataSend(QLatin1String(hostmessages::Connected));
    });
    connect(connections, &HostConnections::videoAccepted, video, &VideoLink::attach);
    connect(connections, &HostConnections::ended, this, [this]() {
        video->attach(nullptr);
        writer->detach();
    });

    // The command signals are this class's: passed on directly, so they are still emitted on
    // the server thread and reach their receivers queued, in order.
    connect(dispatch, &CommandDispatch::CommandSession, this, &VeltraxServer::CommandSession, Qt::DirectConnection);
    connect(dispatch, &CommandDispatch::HandleSessionSend, this, &VeltraxServer::HandleSessionSend, Qt::DirectConnection);
    connect(dispatch, &CommandDispatch::HandleDataSend, this, &VeltraxServer::HandleDataSend, Qt::DirectConnection);
    connect(dispatch, &CommandDispatch::NewCoord, this, &VeltraxServer::NewCoord, Qt::DirectConnection);
    connect(dispatch, &CommandDispatch::NewMotionStatus, this, &VeltraxServer::NewMotionStatus, Qt::DirectConnection);
    connect(dispatch, &CommandDispatch::StartAutoAlignement, this, &VeltraxServer::StartAutoAlignement, Qt::DirectConnection);
    connect(dispatch, &CommandDispatch::StartMFAutoAlignement, this, &VeltraxServer::StartMFAutoAlignement, Qt::DirectConnection);
    connect(dispatch, &CommandDispatch::StartAutoScan, this, &VeltraxServer::StartAutoScan, Qt::DirectConnection);
    connect(dispatch, &CommandDispatch::EngageAutoXAlign, this, &VeltraxServer::EngageAutoXAlign, Qt::DirectConnection);
    connect(dispatch, &CommandDispatch::SavingImageRequest, this, &VeltraxServer::SavingImageRequest, Qt::DirectConnection);
    connect(dispatch, &CommandDispatch::StramRequest, this, &VeltraxServer::StramRequest, Qt::DirectConnection);
}

VeltraxServer::~VeltraxServer()
{
    ServerRun = false;
    dispatch->wake();
    wait();

    // The connections end before the parts they report to.
    delete connections;
    connections = nullptr;
    logging->udebug(QStringLiteral("Server Destruction"));
}

quint16 VeltraxServer::ListenPort() const
{
    return connections->listenPort();
}

bool VeltraxServer::IsListening() const
{
    return connections->isListening();
}

bool VeltraxServer::HasDataConnection() const
{
    return connections->hasData();
}

QString VeltraxServer::DataPeerAddress() const
{
    return connections->dataPeer();
}

bool VeltraxServer::HasVideoConnection() const
{
    return connections->hasVideo();
}

int VeltraxServer::PendingReceiveSize() const
{
    return dispatch->pendingSize();
}

bool VeltraxServer::RunServer(QString address, quint16 port)
{
    // Only a numeric address is taken; anything else (a host name) means every IPv4 interface.
    Addr = QHostAddress(address);
    const QHostAddress bindTo = Addr.isNull() ? QHostAddress(QHostAddress::AnyIPv4) : Addr;
    if (!connections->listen(bindTo, port, true)) {
        LogDebug(QStringLiteral("Listening failed on %1 : %2: %3. The station runs without a host link.")
                     .arg(bindTo.toString())
                     .arg(port)
                     .arg(connections->listenError()));
        return false;
    }
    logging->udebug(QStringLiteral("Listening ") + connections->listenAddress().toString() + QStringLiteral(" : ")
                    + QString::number(connections->listenPort()));
    return true;
}

bool VeltraxServer::RunVideoStream(QString address, quint16 port)
{
    VideoStreamAddr = QHostAddress(address);
    const QHostAddress bindTo = VideoStreamAddr.isNull() ? QHostAddress(QHostAddress::AnyIPv4) : VideoStreamAddr;
    if (!connections->listen(bindTo, port, false)) {
        LogDebug(QStringLiteral("Listening failed on %1 : %2: %3").arg(address).arg(port).arg(connections->listenError()));
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

void VeltraxServer::ValidateImageSavingRequest(quint64 session)
{
    // Called from the camera thread: the signal is queued to the main thread, which writes.
    emit HandleSessionSend(session, QLatin1String(hostmessages::SnapshotDone));
}

void VeltraxServer::ReportImageSavingFailure(quint64 session)
{
    emit HandleSessionSend(session, hostmessages::SnapshotFail(hostmessages::FailReason::Storage));
}

// ---------------------------------------------------------------------------------------------
// Connections and sending (main thread)

bool VeltraxServer::admitConnection(QTcpSocket* socket)
{
    if (allowList.admits(socket->peerAddress()))
        return true;
    ++refusedConnections;
    LogDebug(QStringLiteral("Connection refused from %1 (%2 refused so far): %3 admits %4")
                 .arg(HostConnections::peerText(socket))
                 .arg(refusedConnections)
                 .arg(settings::key(settings::host::Allow), allowList.describe()),
             QStringLiteral("Connection refused"));
    return false;
}

void VeltraxServer::Send(QString text, QImage image)
{
    writer->send(text, image);
}

void VeltraxServer::SendToSession(quint64 session, QString text, QImage image)
{
    if (session != 0 && session != HostSession()) {
        // The host that asked has gone: its request's texts are not for anyone else.
        writer->dropForLeftHost(text);
        return;
    }
    writer->send(text, image);
}

void VeltraxServer::FluxWrite(QByteArray payload)
{
    FluxWriteToSession(0, payload);
}

void VeltraxServer::FluxWriteToSession(quint64 session, QByteArray payload)
{
    if (session != 0 && session != HostSession()) {
        // The host that asked has gone: its frame is not for the next one.
        LogDebug(QStringLiteral("Video frame of %1 bytes not sent: it belongs to a host that has left").arg(payload.size()),
                 QStringLiteral("video frame for a host that has left"));
        return;
    }
    if (!connections->hasVideo()) {
        LogDebug(QStringLiteral("Video frame of %1 bytes dropped: no video connection").arg(payload.size()),
                 QStringLiteral("Video frame dropped: no video connection"));
        return;
    }
    video->write(payload);
}

// ---------------------------------------------------------------------------------------------
// Server thread

void VeltraxServer::run()
{
    dispatch->serve(ServerRun);
    logging->udebug(QStringLiteral("Server Stopped"));
}

int VeltraxServer::CMDTranslateExec(QString text)
{
    return dispatch->interpret(text);
}
