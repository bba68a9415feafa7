#include "hostlink/commanddispatch.h"

#include "core/logs.h"

#include <QTcpSocket>

#include <chrono>
#include <exception>

namespace {

// A host command as log records quote it: escaped and cut (see logtext::Safe).
QString quoted(const QString& text)
{
    return logtext::Safe(text, logtext::QuoteBytes);
}

// The framer's note about a message without a tag; such notes are counted, not repeated.
const QString UntaggedNote = QStringLiteral("Message without tag discarded");

} // namespace

CommandDispatch::CommandDispatch(LogFunction log, QObject* parent)
    : QObject(parent)
    , logRecord(std::move(log))
    , logging(Logs::AccessMemory())
{
}

bool CommandDispatch::receive(QTcpSocket* socket, bool everything)
{
    bool spoke = false;
    while (socket->bytesAvailable() > 0) {
        {
            std::lock_guard<std::mutex> receiveLock(receiveMutex);
            receiveThrottled = false;
            // Past the bound, wait for the server thread; but text without a complete message
            // is read on, since only more text can finish it (the framer's cap bounds it).
            if (!everything && framer.size() + interpreting >= ReceiveBound && framer.hasCompleteMessage()) {
                receiveThrottled = true;
                return spoke;
            }
        }
        const QByteArray bytes = socket->read(everything ? socket->bytesAvailable() : ReadChunk);
        if (bytes.isEmpty())
            return spoke;
        spoke = true;
        const QString text = decoder.decode(bytes);
        std::lock_guard<std::mutex> receiveLock(receiveMutex);
        framer.append(text);
        receiveArrived.notify_one();
    }
    return spoke;
}

void CommandDispatch::beginSession(quint64 session)
{
    decoder.reset();
    std::lock_guard<std::mutex> receiveLock(receiveMutex);
    framerSession = session;
}

void CommandDispatch::endSession(QTcpSocket* socket)
{
    receive(socket, true);
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
        logRecord(QStringLiteral("Unfinished message of %1 characters discarded at disconnection").arg(dropped), QString());
}

int CommandDispatch::pendingSize() const
{
    std::lock_guard<std::mutex> receiveLock(receiveMutex);
    return framer.size();
}

void CommandDispatch::wake()
{
    std::lock_guard<std::mutex> receiveLock(receiveMutex);
    receiveArrived.notify_all();
}

// receiveMutex held. Reading stopped at the bound starts again once half of it is free.
void CommandDispatch::resumeReceiveIfThrottled()
{
    if (!receiveThrottled || framer.size() + interpreting >= ReceiveBound / 2)
        return;
    receiveThrottled = false;
    emit readingMayResume();
}

void CommandDispatch::serve(const std::atomic<bool>& running)
{
    std::unique_lock<std::mutex> receiveLock(receiveMutex);
    while (running) {
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
        interpretBatch(commands, notes, receiveLock, running);
    }
}

void CommandDispatch::interpretBatch(const QVector<QPair<quint64, QString>>& commands, const QStringList& notes,
                                     std::unique_lock<std::mutex>& receiveLock, const std::atomic<bool>& running)
{
    qint64 left = 0;
    for (const auto& entry : commands)
        left += entry.second.size() + 2; // and its tag's ":" and its ";", at least
    interpreting = left;
    receiveLock.unlock();
    for (const QString& note : notes)
        logRecord(note, note.startsWith(UntaggedNote) ? UntaggedNote : QString());
    int done = 0;
    for (const auto& entry : commands) {
        if (!running)
            break;
        commandSession = entry.first;
        try {
            interpret(entry.second);
        } catch (const std::exception& e) {
            logRecord(QStringLiteral("Exception while interpreting \"%1\": %2")
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

int CommandDispatch::interpret(const QString& text)
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
        logRecord(QStringLiteral("%1 field(s) that are not numbers read as 0 in \"%2\"")
                      .arg(action.unreadableFields)
                      .arg(quoted(action.command)),
                  QStringLiteral("Fields that are not numbers read as 0"));

    switch (action.kind) {
    case Action::Coords:
        emit NewCoord(action.values[0], action.values[1], action.values[2], action.values[3], action.values[4]);
        break;
    case Action::CoordsMalformed:
        logRecord(QStringLiteral("COORDS with fewer than five fields ignored: \"%1\"").arg(quoted(action.command)),
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
        logRecord(QStringLiteral("MOVESTAT without exactly three fields ignored: \"%1\"").arg(quoted(action.command)),
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
