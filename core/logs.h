#pragma once

#include "singleton.h"

#include <QFile>
#include <QHash>
#include <QString>
#include <QThread>
#include <QVector>

#include <atomic>
#include <condition_variable>
#include <mutex>

class Registry;

// Making outside text (host messages, file contents, device names) safe for a one-line record.
namespace logtext {

// Longest message of one record, in UTF-8 bytes after escaping.
constexpr int RecordBytes = 2000;
// Longest quote of a host command inside a record.
constexpr int QuoteBytes = 200;

// The text with every character that could break a line or steer a terminal escaped: C0 and C1
// controls and DEL as \xNN, line/paragraph separators, format characters (bidirectional
// overrides, zero-width marks) and unpaired surrogates as \u{XXXX}. A byte that was not valid
// UTF-8 where the text was decoded (carried as U+DC80..U+DCFF, see hostprotocol::ByteDecoder)
// shows as \xNN again. Past maxBytes of UTF-8 the text is cut, at a character boundary, and
// "… (N more bytes)" says how many bytes of the escaped text were left out.
QString Safe(const QString& text, int maxBytes = RecordBytes);

} // namespace logtext

// Counts records that come again and again so that the log holds them once. A record's key is
// its text, or the kind it names (all "CMD TO ADD …" records share one kind). A record with a
// new key is written; the same text right after it is counted instead; a record of a named kind
// is counted even when other records come in between. Counted records are summed up as
// "<label> (repeated N times in T s)" once they have stopped for QuietMs, and every WindowMs
// while they go on. Times are milliseconds on any steady clock; not thread-safe by itself.
class RepeatCounter
{
public:
    static constexpr qint64 QuietMs = 2000;
    static constexpr qint64 WindowMs = 60000;
    static constexpr int MaxKinds = 64;

    struct Summary
    {
        QString label;
        qint64 count = 0;
        qint64 spanMs = 0; // from the record written to the last one counted
        QString text() const;
    };

    // True when the record is to be written. Summaries that fall due are appended to due.
    // Summaries name the kind, or the text, escaped (logtext::Safe) and cut.
    bool admit(const QString& text, const QString& kind, qint64 nowMs, QVector<Summary>* due);
    // Summaries of repeats that have stopped or filled their window.
    void expire(qint64 nowMs, QVector<Summary>* due);
    // Every open summary (the log is closing).
    void flush(QVector<Summary>* due);
    bool isEmpty() const { return entries.isEmpty(); }

private:
    struct Entry
    {
        QString label;
        bool named = false;
        qint64 firstMs = 0;  // start of the current window
        qint64 lastMs = 0;   // last record seen
        qint64 count = 0;    // records counted in the window
        qint64 order = 0;    // for evicting the oldest when there are too many kinds
    };
    void close(const QString& key, QVector<Summary>* due);

    QHash<QString, Entry> entries;
    QString plainKey; // the entry of plain text, if any: there is at most one
    qint64 arrivals = 0;
};

// The one log of the station: every record is stamped, echoed on the debug console,
// announced with sendtotextarea() and appended to "Logs.ini" in the working directory.
// Records are one line each (see logtext::Safe), repeats are counted (RepeatCounter), and once
// the file would grow past its size limit it is renamed to "Logs.ini.1" (replacing the older
// one) and a new file is started.
class Logs : public QThread
{
    Q_OBJECT

public:
    static Logs* AccessMemory();
    static void Destroy() { ::veltrax::Singleton<Logs>::destroy(); }
    static Logs* Existing() { return ::veltrax::Singleton<Logs>::peek(); }

    ~Logs() override;

    bool Reset();
    // kind: records of the same kind are counted rather than written one by one (see
    // RepeatCounter); empty: only the same text right after itself is counted.
    void udebug(QString message, const QString& kind = QString());
    QString getDateTime();

    // Size past which Logs.ini is rotated (bytes; below 1 MiB means the default).
    void SetSizeLimit(qint64 bytes);
    qint64 SizeLimit() const { return sizeLimit.load(); }

    static const char* FileName;
    static const char* RotatedFileName;
    // The declared default of settings::log::SizeLimitMiB, in bytes.
    static const qint64 DefaultSizeLimit;
    // Reads the size limit from the settings (settings::log::SizeLimitMiB; missing or out of
    // range: the default).
    void ApplySettings(Registry& registry);

signals:
    void sendtotextarea(QString);

protected:
    // Writes the summaries of repeats that have stopped.
    void run() override;

private:
    friend class ::veltrax::Singleton<Logs>;
    explicit Logs(QObject* parent = nullptr);
    Logs(const Logs&) = delete;
    Logs& operator=(const Logs&) = delete;

    void emitRecord(const QString& message); // writeLock held
    void writeSummaries(const QVector<RepeatCounter::Summary>& due); // writeLock held
    void writetofile(QString message);
    bool rotateFor(qint64 recordBytes);
    void reportFailure(const QString& text);
    qint64 steadyMs() const;

    // writeLock guards file, repeats and stopping, and serialises whole udebug calls, so records
    // never interleave; wake is its condition (the summary thread's wait).
    std::mutex writeLock;
    std::condition_variable wake;
    QFile file;
    RepeatCounter repeats;
    bool stopping = false;
    bool loadingfilefaild = true; // set once at construction, read-only afterwards
    std::atomic<qint64> sizeLimit{DefaultSizeLimit};
};
