#pragma once

// Helpers shared by the test programs: every test case runs in a fresh temporary working
// directory, because the station reads and writes its files in the working directory.

#include <QByteArray>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

#include <functional>
#include <memory>

namespace testsupport {

class WorkDir
{
public:
    WorkDir()
        : previous(QDir::currentPath())
        , dir(new QTemporaryDir)
    {
        QDir::setCurrent(dir->path());
    }
    ~WorkDir() { QDir::setCurrent(previous); }
    QString path() const { return dir->path(); }
    QString file(const QString& name) const { return dir->filePath(name); }

private:
    QString previous;
    std::unique_ptr<QTemporaryDir> dir;
};

inline QByteArray readAll(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray();
    return f.readAll();
}

inline void writeAll(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        f.write(bytes);
}

// The records of Logs.ini: the messages after "]: ", in file order.
inline QStringList logMessages(const QString& path = QStringLiteral("Logs.ini"))
{
    QStringList messages;
    const QList<QByteArray> lines = readAll(path).split('\n');
    for (const QByteArray& line : lines) {
        const int at = line.indexOf("]]: ");
        if (line.startsWith(" Log:[") && at > 0)
            messages << QString::fromLocal8Bit(line.mid(at + 4));
    }
    return messages;
}

// Moves the alignments of one kind ("panorama", "inscription") sent by their own count, as
// their "Alignment KIND done in T ms (N moves, ..." lines give it; -1 when an alignment sent
// more than `most` moves.
inline int alignmentMoves(const QStringList& messages, const QString& kind, int most = 2)
{
    const QString head = QStringLiteral("Alignment ") + kind + QStringLiteral(" done in ");
    int moves = 0;
    for (const QString& message : messages) {
        if (!message.startsWith(head))
            continue;
        const int open = message.indexOf(QLatin1Char('('));
        const int n = message.mid(open + 1, message.indexOf(QLatin1Char(' '), open) - open - 1).toInt();
        if (n > most)
            return -1;
        moves += n;
    }
    return moves;
}

// Processes events until `ready` holds; false when it still does not after timeoutMs.
inline bool eventually(const std::function<bool()>& ready, int timeoutMs = 60000)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!ready()) {
        if (deadline.hasExpired())
            return false;
        QTest::qWait(10);
    }
    return true;
}

} // namespace testsupport
