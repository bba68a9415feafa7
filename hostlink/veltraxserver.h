#pragma once

#include "core/settingscatalog.h"
#include "core/singleton.h"
#include "hostlink/commanddispatch.h"
#include "hostlink/datawriter.h"
#include "hostlink/hostallowlist.h"
#include "hostlink/hostconnections.h"

#include <QByteArray>
#include <QHostAddress>
#include <QImage>
#include <QString>
#include <QStringList>
#include <QThread>

#include <atomic>

class Logs;
class QTcpServer;
class QTcpSocket;
class Registry;
class VideoLink;

// Who may use the host port and where it listens (read at start).
struct HostLinkSettings
{
    // Addresses or subnets allowed to connect, separated by commas ("10.0.0.7,192.168.1.0/24";
    // the settings store drops spaces); "*" is everyone. Setting settings::host::Allow.
    QString allow = settings::defaultText(settings::host::Allow);
    // Numeric address of the interface to listen on; 0.0.0.0 is every IPv4 interface. Setting
    // settings::host::Listen.
    QString listen = settings::defaultText(settings::host::Listen);

    static HostLinkSettings fromRegistry(Registry& registry);
};

// The station's TCP server for the host software. The host connects twice on the same port:
// the first connection is the data connection (short tagged text messages both ways), the
// second, opened while the first is up, is the video connection (size-prefixed JPEG frames).
//
// This class is the front the station talks to; the work is done by its parts, each with its
// own thread and lock notes: HostAllowList (who may connect), HostConnections (accepting,
// roles, idle hand-over, keepalive), CommandDispatch (the received text cut into messages and
// interpreted into this class's signals), DataWriter (numbering, framing and writing the
// data connection's messages) and VideoLink (the video frames).
//
// Threads: the object, its parts and their sockets belong to the main thread, so every slot
// (connections, receiving, sending) runs there and only the main thread writes to a socket.
// The server thread (run()) interprets the host's commands; it is woken as soon as text
// arrives, with a 2 ms tick as the upper bound. Host commands become signals emitted from the
// server thread, so they reach their receivers queued.
//
// Locks: none of its own. Every member is touched by the main thread only, except ServerRun
// (atomic) and the immutable index constants; the receive queue's lock is CommandDispatch's.
class VeltraxServer : public QThread
{
    Q_OBJECT
    VELTRAX_SINGLETON_ACCESS(VeltraxServer)

public:
    ~VeltraxServer() override;

    // Field positions of a position packet. Part of the server's documented interface for
    // callers that index such packets; the station itself parses COORDS by name and reads none.
    const int PACKETX = 0;
    const int XPOS = 1;
    const int YPOS = 2;
    const int ZPOS = 3;
    const int ISTXMOVING = 4;
    const int ISTXBUSY = 5;

    static constexpr quint16 DefaultPort = 5050;
    static constexpr int DefaultWriteTimeoutMs = DataWriter::DefaultTimeoutMs;

    // Host input held at most, in characters (see CommandDispatch).
    static constexpr int ReceiveBound = CommandDispatch::ReceiveBound;
    // One read from the data socket, what Qt buffers of it at most, and the kernel's receive
    // buffer of a connection.
    static constexpr int ReadChunk = CommandDispatch::ReadChunk;
    // A data connection that has sent nothing for this long gives up its role to a new
    // connection when no video connection has been opened beside it (a stranger's idle
    // connection must not keep the host out).
    static constexpr int IdleDataHandOverMs = HostConnections::IdleDataHandOverMs;
    // TCP keepalive (see HostConnections).
    static constexpr int KeepAliveIdleS = HostConnections::KeepAliveIdleS;
    static constexpr int KeepAliveIntervalS = HostConnections::KeepAliveIntervalS;
    static constexpr int KeepAliveProbes = HostConnections::KeepAliveProbes;

    // Where the listener binds at construction. Production: the HOSTLISTEN setting (every
    // IPv4 interface by default), port 5050. A null address takes the setting. Call before the
    // first AccessMemory(); tests use 127.0.0.1 and port 0 (any free port).
    static void SetListenEndpoint(const QHostAddress& address, quint16 port);
    // How long an idle data connection keeps its role (IdleDataHandOverMs unless a test
    // shortens it).
    static void SetIdleHandOver(int milliseconds);
    // Upper bound of one blocking write on a socket (30000 ms unless a test shortens it).
    static void SetWriteTimeout(int milliseconds);

    // The port actually bound, 0 when nothing listens (for example the port was taken).
    quint16 ListenPort() const;
    // Identifies the current data connection: a new number for every host accepted, 0 while no
    // host is connected. Any thread. A question sent to one host is answered only by that
    // host: whoever waits for an answer watches this number.
    quint64 HostSession() const { return connections->session(); }
    bool IsListening() const;

    // Makes the listener listen on address:port (a numeric address; anything else means every
    // IPv4 interface). Returns false, with a log line, when the port cannot be bound.
    bool RunServer(QString address, quint16 port);
    // The same for a separate video listener address. Kept as part of the server's documented
    // interface; the station never calls it: the video connection arrives on the data port as
    // the second connection.
    bool RunVideoStream(QString address, quint16 port);

    // Interprets one host command (tag already removed): 0 when recognised, -1 otherwise.
    // Emits the command's signal and queues its reply through HandleDataSend.
    int CMDTranslateExec(QString text);

    // Entry of the stored text list at index, "-1" outside the list.
    QString TXData(int index);

    // "TCP Server: " + text into the log; records of one kind are counted (see Logs::udebug).
    void LogDebug(QString text, const QString& kind = QString());

    // Acknowledges a stored front snapshot with "SIDONE" to the host that asked for it (the
    // HostSession() number of its QISI; 0, the station's own request at start-up, goes to
    // whoever is connected). Callable from any thread: the text is handed to the main thread
    // by a queued signal, never written from the caller's thread, and SendToSession drops it
    // when that host has left.
    void ValidateImageSavingRequest(quint64 session = 0);
    // The same for a snapshot that could not be stored: "SIFAIL:STORAGE" instead of "SIDONE".
    void ReportImageSavingFailure(quint64 session = 0);

    // Diagnostics (main thread): whether a host holds the data / video connection.
    bool HasDataConnection() const;
    bool HasVideoConnection() const;
    // The data connection's peer as "address:port", empty without one (main thread).
    QString DataPeerAddress() const;
    // Characters received and not yet cut into messages (any thread).
    int PendingReceiveSize() const;
    // The allow-list in effect.
    HostAllowList AllowList() const { return allowList; }

signals:
    // Emitted on the server thread just before the signals of every host command it interprets
    // (commands without a signal or reply of their own, such as APPX, go unannounced): the data
    // connection (HostSession() number) the command came from. A receiver of the command's
    // signal (queued, in the same order) can tell which host asked.
    void CommandSession(quint64 session);
    // Text for the host of one data connection (see SendToSession).
    void HandleSessionSend(quint64 session, QString text);
    void NewCoord(double x, double y, double z, double a, double zii);
    void NewMotionStatus(int master, int a, int zii);
    void StartAutoAlignement(bool);
    void StartMFAutoAlignement(bool);
    void StartAutoScan();
    void HandleDataSend(QString);
    void EngageAutoXAlign();
    void SavingImageRequest();
    void StramRequest();

public slots:
    // Numbers, frames and writes one message on the data connection; with a non-null image the
    // image message (text, "->", BMP file, ";") is sent instead. Main thread only.
    void Send(QString text, QImage image = QImage());
    // Send for what belongs to one host's request: written only while that host's data
    // connection (HostSession() number) is the current one, dropped with a log line otherwise,
    // so nothing meant for a host that left reaches the next one. Session 0 belongs to no
    // host and goes to whoever is connected, like Send.
    void SendToSession(quint64 session, QString text, QImage image = QImage());
    // Writes one frame (16-byte "-SIZE-" header, then the payload) on the video connection,
    // without waiting for the host (see VideoLink: a host that does not read gets the newest
    // frame later, the ones between are dropped and counted).
    void FluxWrite(QByteArray payload);
    // FluxWrite for the frame one host asked for: dropped with a counted log line when that
    // host's data connection (HostSession() number) is no longer the current one. Session 0
    // belongs to no host and goes to whoever is connected, like FluxWrite.
    void FluxWriteToSession(quint64 session, QByteArray payload);

protected:
    void run() override;

private:
    explicit VeltraxServer(QObject* parent = nullptr);
    // Creates the parts and connects them to each other and to this front.
    void wireParts();

    bool admitConnection(QTcpSocket* socket);

    Logs* logging = nullptr;
    QHostAddress Addr;
    QHostAddress VideoStreamAddr;
    std::atomic<bool> ServerRun{false};
    QStringList Buffer;
    HostAllowList allowList;
    int refusedConnections = 0; // main thread
    CommandDispatch* dispatch = nullptr;       // children of this object
    DataWriter* writer = nullptr;
    HostConnections* connections = nullptr;
    VideoLink* video = nullptr; // writes the frames on the video connection
};
