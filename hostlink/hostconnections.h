#pragma once

#include "hostlink/hostlinklog.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QString>

#include <atomic>
#include <functional>

class CommandDispatch;
class Logs;
class QTcpServer;
class QTcpSocket;

// The host port's listener and the two roles a host's connections take on it: the first
// connection is the data connection, the second, opened while the first is up, the video
// connection. A connection is checked (the allow-list: see admission) before it is queued; one that
// arrives while both roles are taken waits in the listener's queue until the data connection
// ends (the video role is only released with it). A data connection that has said nothing
// for long and opened no video connection gives its role up to a newcomer; keepalive probes
// find a host that vanished without closing.
//
// Each data connection gets a new session number; what it sends goes to the CommandDispatch,
// which interprets it.
//
// Main thread only: the listener, the sockets and every member belong to it, except session
// (atomic: written here, read anywhere).
class HostConnections : public QObject
{
    Q_OBJECT

public:
    using LogFunction = HostLinkLog;

    // A data connection that has sent nothing for this long gives up its role to a new
    // connection when no video connection has been opened beside it.
    static constexpr int IdleDataHandOverMs = 10000;
    // TCP keepalive: first probe after this much silence, then KeepAliveProbes probes
    // KeepAliveIntervalS apart; a peer that answers none is gone.
    static constexpr int KeepAliveIdleS = 60;
    static constexpr int KeepAliveIntervalS = 10;
    static constexpr int KeepAliveProbes = 3;
    // What Qt buffers of one connection at most, and the kernel's receive buffer of a
    // connection (set on the listener, which connections inherit it from).
    static constexpr int ReadBuffer = 256 * 1024;

    // How long an idle data connection keeps its role (IdleDataHandOverMs unless a test
    // shortens it).
    static void setIdleHandOver(int milliseconds);

    // Decides whether a new connection may be queued; a refused one is aborted at once.
    using Admission = std::function<bool(QTcpSocket* socket)>;

    HostConnections(Admission admission, CommandDispatch* dispatch, LogFunction log, QObject* parent = nullptr);
    // Aborts both connections without running their disconnection handling.
    ~HostConnections() override;

    // Listens on bindTo:port (closing what listened before); with boundedReceive, connections
    // get a small kernel receive buffer. False when the port cannot be bound (see listenError).
    bool listen(const QHostAddress& bindTo, quint16 port, bool boundedReceive);
    QString listenError() const;
    bool isListening() const;
    QHostAddress listenAddress() const;
    quint16 listenPort() const;
    void close();

    // "[address:port]" of a connection's peer, as log records name it.
    static QString peerText(const QTcpSocket* socket);

    quint64 session() const { return hostSession.load(); }
    bool hasData() const;
    bool hasVideo() const;
    QString dataPeer() const; // "address:port", empty without a data connection

signals:
    // A data connection has taken the data role (emitted before its text is read).
    void dataAccepted(QTcpSocket* socket);
    // A video connection has taken the video role.
    void videoAccepted(QTcpSocket* socket);
    // The data connection, and the video connection with it, have ended (emitted before the
    // sockets are released).
    void ended();

public slots:
    // Reads the data connection within the receive bound.
    void readData();

private slots:
    void servePending();
    void dataDisconnected();
    void videoDisconnected();
    void videoReadyRead();

private:
    void prepareSocket(QTcpSocket* socket);
    bool peerStillThere(QTcpSocket* socket) const;
    bool peerHasClosed(QTcpSocket* socket) const;
    void acceptData(QTcpSocket* socket);
    void acceptVideo(QTcpSocket* socket);
    // Serves what the host sent, closes the data connection and the video connection with it,
    // and serves the connections waiting in the listener's queue.
    void endData(QTcpSocket* socket);
    void retire(QTcpSocket* socket);

    LogFunction logRecord;
    Logs* logging = nullptr;
    CommandDispatch* dispatch = nullptr;
    QTcpServer* listener = nullptr;
    QPointer<QTcpSocket> dataSocket;
    QPointer<QTcpSocket> videoSocket;
    std::atomic<quint64> hostSession{0};
    quint64 sessionsAccepted = 0;
    QElapsedTimer dataSince; // when the data connection was accepted
    bool dataSpoke = false;  // it has sent at least one byte
};
