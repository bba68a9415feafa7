#include "sim/host/hosttranscript.h"

HostTranscript::HostTranscript(const QElapsedTimer& simulatorClock)
    : clock(simulatorClock)
{
}

HostTranscript::~HostTranscript()
{
    if (file.isOpen()) {
        stream.flush();
        file.close();
    }
}

bool HostTranscript::setFile(const QString& path)
{
    if (file.isOpen())
        file.close();
    file.setFileName(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text))
        return false;
    stream.setDevice(&file);
    return true;
}

void HostTranscript::record(const QString& direction, const QString& text)
{
    const QString line = QStringLiteral("%1 ms  %2 %3").arg(clock.nsecsElapsed() / 1.0e6, 11, 'f', 3).arg(direction, text);
    if (keepHistory)
        transcript << line;
    if (file.isOpen())
        stream << line << '\n';
}

void HostTranscript::violation(const QString& text)
{
    ++violationsSeen;
    violationTexts << text;
    record(QStringLiteral("!!"), QStringLiteral("PROTOCOL VIOLATION: ") + text);
    if (file.isOpen())
        stream.flush();
}

void HostTranscript::note(const QString& text)
{
    noteTexts << text;
    record(QStringLiteral("##"), text);
}
