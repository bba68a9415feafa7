#pragma once

#include "hostlink/hostlinklog.h"
#include "hostlink/hostprotocol.h"

#include <QObject>
#include <QPair>
#include <QString>
#include <QVector>

#include <atomic>
#include <condition_variable>
#include <mutex>

class Logs;
class QTcpSocket;

// The data connection's way in: the main thread reads the host's bytes into a framer, the
// server thread cuts them into messages and interprets each command into a signal. Every
// command keeps the data connection (session number) it came from, so what it starts can be
// sent back to that host only.
//
// Back-pressure: the main thread reads the data socket only while less than ReceiveBound of
// host input waits (see receive()); when it stops, the server thread asks for reading to
// resume (readingMayResume) once it has interpreted half of what waited.
//
// Threads: receive(), beginSession(), endSession() run on the main thread; serve() on the
// server thread, which also emits the command signals (their receivers get them queued).
// Locks: receiveMutex guards framer, readyCommands, framerSession, interpreting and
// receiveThrottled; receiveArrived is its condition. decoder is the main thread's;
// commandSession belongs to the thread that interprets. The lock is a std::mutex rather than
// a QMutex so that ThreadSanitizer sees it: QMutex locks inside the uninstrumented Qt library,
// where the tool cannot follow it.
class CommandDispatch : public QObject
{
    Q_OBJECT

public:
    using LogFunction = HostLinkLog;

    // Host input held at most, in characters: received and not yet cut into messages, plus
    // messages cut and not yet interpreted. Past it the data socket is not read until the
    // server thread has caught up, so TCP slows a host that sends faster than the station
    // interprets.
    static constexpr int ReceiveBound = 256 * 1024;
    // One read from the data socket. Qt reads once per event loop pass, so this sets how fast
    // a host can send at most while the main thread is busy (cameras, display).
    static constexpr int ReadChunk = 256 * 1024;

    explicit CommandDispatch(LogFunction log, QObject* parent = nullptr);

    // Main thread. Reads the socket into the framer within ReceiveBound (everything: the
    // connection is ending, its last bytes are served whatever the bound). True when it read
    // at least one byte.
    bool receive(QTcpSocket* socket, bool everything = false);
    // Main thread. Text received from now on belongs to this data connection.
    void beginSession(quint64 session);
    // Main thread. The data connection ends: what it sent is served (read to the end from
    // socket), only an unfinished message is dropped, so the next host does not inherit the
    // head of a message.
    void endSession(QTcpSocket* socket);
    // Characters received and not yet cut into messages (any thread).
    int pendingSize() const;

    // Server thread: interprets commands as they arrive until running turns false (wake()
    // makes it look at once).
    void serve(const std::atomic<bool>& running);
    // Any thread: wakes serve() to check its stop flag.
    void wake();

    // Interprets one host command (tag already removed): 0 when recognised, -1 otherwise.
    // Emits the command's signal, and queues its reply ahead of it.
    int interpret(const QString& text);

signals:
    // Emitted by the server thread when reading stopped at the bound may go on.
    void readingMayResume();
    // The signals of the host commands (see VeltraxServer, which passes them on).
    void CommandSession(quint64 session);
    void HandleSessionSend(quint64 session, QString text);
    void HandleDataSend(QString text);
    void NewCoord(double x, double y, double z, double a, double zii);
    void NewMotionStatus(int master, int a, int zii);
    void StartAutoAlignement(bool);
    void StartMFAutoAlignement(bool);
    void StartAutoScan();
    void EngageAutoXAlign();
    void SavingImageRequest();
    void StramRequest();

private:
    void resumeReceiveIfThrottled(); // receiveMutex held
    // Server thread: interprets one batch taken from the queue; receiveLock is released
    // meanwhile and held again on return.
    void interpretBatch(const QVector<QPair<quint64, QString>>& commands, const QStringList& notes,
                        std::unique_lock<std::mutex>& receiveLock, const std::atomic<bool>& running);

    LogFunction logRecord;
    Logs* logging = nullptr;
    hostprotocol::ByteDecoder decoder; // main thread

    mutable std::mutex receiveMutex;
    std::condition_variable receiveArrived;
    hostprotocol::ReceiveFramer framer; // guarded by receiveMutex
    // Commands with the data connection they came from.
    QVector<QPair<quint64, QString>> readyCommands; // guarded by receiveMutex; cut at disconnection
    quint64 framerSession = 0;  // guarded by receiveMutex: whose text the framer holds
    quint64 commandSession = 0; // interpreting thread: the connection of the command interpreted
    qint64 interpreting = 0;    // guarded by receiveMutex: characters of taken commands not yet
                                // interpreted
    bool receiveThrottled = false; // guarded by receiveMutex: reading paused at the bound
};
