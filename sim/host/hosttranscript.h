#pragma once

// The simulator's record of a conversation: one line per message both ways, connection event,
// note and protocol violation, with a millisecond time stamp; kept in memory (unless history
// is off, for long runs) and written to a transcript file when one is set.
//
// Threads: used from the simulator's thread only, except violationCount() (any thread).

#include <QElapsedTimer>
#include <QFile>
#include <QString>
#include <QStringList>
#include <QTextStream>

#include <atomic>

class HostTranscript
{
public:
    explicit HostTranscript(const QElapsedTimer& clock);
    ~HostTranscript();

    bool setFile(const QString& path);
    void setKeepHistory(bool keep) { keepHistory = keep; }

    // direction: ">>" sent, "<<" received, "<V" video, "--" connection, "##" note, "!!" violation.
    void record(const QString& direction, const QString& text);
    // A protocol violation: counted, kept, recorded and flushed to the file at once.
    void violation(const QString& text);
    void note(const QString& text);

    QStringList lines() const { return transcript; }
    QStringList violations() const { return violationTexts; }
    QStringList notes() const { return noteTexts; }
    int violationCount() const { return violationsSeen.load(); } // any thread

private:
    const QElapsedTimer& clock;
    bool keepHistory = true;
    QFile file;
    QTextStream stream;
    QStringList transcript;
    QStringList violationTexts;
    QStringList noteTexts;
    std::atomic<int> violationsSeen{0};
};
