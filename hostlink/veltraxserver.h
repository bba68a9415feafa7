#pragma once

#include "core/singleton.h"
#include "hostlink/hostallowlist.h"
#include "hostlink/hostprotocol.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QPair>
#include <QVector>
#include <QImage>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QThread>
#include <QVector>
#include <QPair>

#include <atomic>
#include <condition_variable>
#include <mutex>

class Logs;
class QTcpServer;
class QTcpSocket;
class Registry;
class VideoLink;

// Who may use the host port and where it listens (read at start).
struct HostLinkSettings
{
    // Addresses or subnets allowed to connect, separated by commas ("10.0.0.7,192.168.1.0/24";
    // the settings store drops spaces); "*" is everyone.
    static const char* AllowKey;     // HOSTALLOW
    static const char* AllowDefault; // "*"
    // Numeric address of the interface to listen on; 0.0.0.0 is every IPv4 interface.
    static const char* ListenKey;     // HOSTLISTEN
    static const char* ListenDefault; // "0.0.0.0"

    QString allow = QString::fromLatin1(AllowDefault);
    QString listen = QString::fromLatin1(ListenDefault);

    static HostLinkSettings fromRegistry(Registry& registry);
};

// The station's TCP server for the host software. The host connects twice on the same port:
// the first connection is the data connection (short tagged text messages both ways), the
// second, opened while the first is up, is the video connection (size-prefixed JPEG frames).
//
// Threads: the object, its listener and its sockets belong to the main thread, so every slot
// (connections, receiving, sending) runs there and only the main thread writes to a socket.
// The server thread (run()) cuts the received text into messages and interprets them; it is
// woken as soon as text arrives, with a 2 ms tick as the upper bound. Host commands become
// signals emitted from the server thread, so they reach their receivers queued.
//
// Back-pressure: the main thread reads the data socket only while less than ReceiveBound of
// host input waits (see drainDataSocket); when it stops, the server thread resumes it once it
// has interpreted half of what waited.
//
// Locks: receiveMutex guards framer, readyCommands, interpreting and receiveThrottled (the
// main thread appends, the server thread consumes); receiveArrived is its condition. Every other member is touched by the
// main thread only, except ServerRun (atomic) and the immutable index constants. The lock is a
// std::mutex rather than a QMutex so that ThreadSanitizer sees it: QMutex locks inside the
// uninstrumented Qt library, where the tool cannot follow it.
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
    static constexpr int DefaultWriteTimeoutMs = 30000;

    // Host input held at most, in characters: received and not yet cut into messages, plus
    // messages cut and not yet interpreted. Past it the data socket is not read until the
    // server thread has caught up, so TCP slows a host that sends faster than the station
    // interprets.
    static constexpr int ReceiveBound = 256 * 1024;
    // One read from the data socket, what Qt buffers of it at most, and the kernel's receive
    // buffer of a connection. Qt reads once per event loop pass, so this sets how fast a host
    // can send at most while the main thread is busy (cameras, display).
    static constexpr int ReadChunk = 256 * 1024;
    // A data connection that has sent nothing for this long gives up its role to a new
    // connection when no video connection has been opened beside it (a stranger's idle
    // connection must not keep the host out).
    static constexpr int IdleDataHandOverMs = 10000;
    // TCP keepalive: first probe after this much silence, then KeepAliveProbes probes
    // KeepAliveIntervalS apart; a peer that answers none is gone.
    static constexpr int KeepAliveIdleS = 60;
    static constexpr int KeepAliveIntervalS = 10;
    static constexpr int KeepAliveProbes = 3;

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
    quint64 HostSession() const { return hostSession.load(); }
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
    void newConnection();
    void Disconnection();
    void readyRead();
    void VDisconnection();
    void VreadyRead();

protected:
    void run() override;

private:
    explicit VeltraxServer(QObject* parent = nullptr);

    // Takes pending connections into the free data / video slots, discarding those whose peer
    // has already gone.
    void servePendingConnections();
    bool peerStillThere(QTcpSocket* socket) const;
    bool peerHasClosed(QTcpSocket* socket) const;
    // Serves what the host sent, closes the data connection and the video connection with it,
    // and serves the connections waiting in the listener's queue.
    void endDataConnection(QTcpSocket* socket);
    // Reads the data socket into the framer within ReceiveBound (everything: the connection
    // is ending, its last bytes are served whatever the bound).
    void drainDataSocket(bool everything = false);
    bool admitConnection(QTcpSocket* socket);
    void resumeReceiveIfThrottled(); // receiveMutex held
    void prepareSocket(QTcpSocket* socket);
    // Writes bytes on the data socket and waits, up to the write timeout, until they have left.
    // False on failure.
    bool writeAndWait(QTcpSocket* socket, const QByteArray& bytes, const char* what);
    void retireSocket(QTcpSocket* socket);

    Logs* logging = nullptr;
    QHostAddress Addr;
    QHostAddress VideoStreamAddr;
    QTcpServer* Server = nullptr;
    std::atomic<bool> ServerRun{false};
    std::atomic<bool> started{false};
    std::atomic<quint64> hostSession{0}; // written on the main thread, read anywhere
    quint64 sessionsAccepted = 0;        // main thread
    QPointer<QTcpSocket> TXSingleConnection;
    QPointer<QTcpSocket> VideoStreamConnection;
    VideoLink* video = nullptr; // writes the frames on VideoStreamConnection; child of this object
    QStringList Buffer;
    int cmdindex = 0;
    hostprotocol::ByteDecoder decoder;
    HostAllowList allowList;
    int refusedConnections = 0;
    QElapsedTimer dataSince;  // main thread: when the data connection was accepted
    bool dataSpoke = false;   // main thread: it has sent at least one byte

    // The data socket's last write ran into the time-out: later writes to it do not wait again
    // until its backlog has drained, so a host that stopped reading cannot keep the main
    // thread blocked message after message. (Video frames never wait: see VideoLink.)
    bool dataStalled = false;
    // Messages dropped since the data connection ended (reported once a host is back).
    int droppedWithoutHost = 0;

    mutable std::mutex receiveMutex;
    std::condition_variable receiveArrived;
    hostprotocol::ReceiveFramer framer;   // guarded by receiveMutex
    // Commands with the data connection they came from.
    QVector<QPair<quint64, QString>> readyCommands; // guarded by receiveMutex; cut at disconnection
    quint64 framerSession = 0;            // guarded by receiveMutex: whose text the framer holds
    quint64 commandSession = 0;           // server thread: the connection of the command interpreted
    qint64 interpreting = 0;              // guarded by receiveMutex: characters of taken commands
                                          // not yet interpreted
    bool receiveThrottled = false;        // guarded by receiveMutex: reading paused at the bound
};
