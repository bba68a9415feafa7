#include "logs.h"

#include "filewrites.h"
#include "registry.h"
#include "settingscatalog.h"

#include <QDateTime>
#include <QDebug>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

const char* Logs::FileName = "Logs.ini";
const char* Logs::RotatedFileName = "Logs.ini.1";
const qint64 Logs::DefaultSizeLimit = qint64(settings::intDefault(settings::log::SizeLimitMiB)) << 20;

namespace {
void announceStart()
{
    qDebug().noquote() << "Starting Logs";
}

int utf8Length(uint ucs4)
{
    return ucs4 < 0x80 ? 1 : ucs4 < 0x800 ? 2 : ucs4 < 0x10000 ? 3 : 4;
}

enum class Escape { None, Byte, CodePoint };

Escape escapeOf(uint ucs4, bool unpairedSurrogate)
{
    if (ucs4 >= 0x20 && ucs4 < 0x7F)
        return Escape::None; // the common case first
    if (unpairedSurrogate) // ByteDecoder carries an undecodable byte b as U+DC00 + b (b >= 0x80)
        return ucs4 >= 0xDC80 && ucs4 <= 0xDCFF ? Escape::Byte : Escape::CodePoint;
    if (ucs4 < 0x20 || ucs4 <= 0x9F)
        return Escape::Byte;
    switch (QChar::category(ucs4)) {
    case QChar::Other_Format:        // bidirectional overrides, zero-width characters
    case QChar::Separator_Line:      // U+2028 starts a new line in some viewers
    case QChar::Separator_Paragraph:
        return Escape::CodePoint;
    default:
        return Escape::None;
    }
}

int hexDigits(uint value)
{
    int digits = 4;
    while (value >> (4 * digits))
        ++digits;
    return digits;
}

// Size in bytes of the character as written.
int writtenSize(uint ucs4, Escape escape)
{
    switch (escape) {
    case Escape::None:
        return utf8Length(ucs4);
    case Escape::Byte:
        return 4; // \xNN
    case Escape::CodePoint:
        return 4 + hexDigits(ucs4); // \u{NNNN}
    }
    return 0;
}

void appendHex(QString& out, uint value, int digits)
{
    static const char hex[] = "0123456789abcdef";
    for (int d = digits - 1; d >= 0; --d)
        out += QLatin1Char(hex[(value >> (4 * d)) & 0xF]);
}
} // namespace

QString logtext::Safe(const QString& text, int maxBytes)
{
    QString out;
    out.reserve(std::min(text.size(), maxBytes) + 16);
    int bytes = 0;
    qint64 leftOut = 0; // written bytes past the cut
    const int n = text.size();
    for (int i = 0; i < n;) {
        const QChar c = text.at(i);
        uint ucs4 = c.unicode();
        int units = 1;
        bool unpaired = false;
        if (c.isHighSurrogate() && i + 1 < n && text.at(i + 1).isLowSurrogate()) {
            ucs4 = QChar::surrogateToUcs4(c, text.at(i + 1));
            units = 2;
        } else if (c.isSurrogate()) {
            unpaired = true;
        }
        const Escape escape = escapeOf(ucs4, unpaired);
        const int size = writtenSize(ucs4, escape);
        if (leftOut > 0 || bytes + size > maxBytes) {
            leftOut += size;
        } else {
            bytes += size;
            if (escape == Escape::None) {
                out.append(text.constData() + i, units);
            } else if (escape == Escape::Byte) {
                out += QLatin1String("\\x");
                appendHex(out, unpaired ? ucs4 - 0xDC00 : ucs4, 2);
            } else {
                out += QLatin1String("\\u{");
                appendHex(out, ucs4, hexDigits(ucs4));
                out += QLatin1Char('}');
            }
        }
        i += units;
    }
    if (leftOut > 0)
        out += QStringLiteral("\u2026 (%1 more bytes)").arg(leftOut);
    return out;
}

// ---------------------------------------------------------------------------------------------

QString RepeatCounter::Summary::text() const
{
    return QStringLiteral("%1 (repeated %2 times in %3 s)").arg(label).arg(count).arg(spanMs / 1000.0, 0, 'f', 1);
}

void RepeatCounter::close(const QString& key, QVector<Summary>* due)
{
    const auto it = entries.find(key);
    if (it == entries.end())
        return;
    if (it->count > 0)
        due->append(Summary{it->label, it->count, it->lastMs - it->firstMs});
    entries.erase(it);
    if (key == plainKey)
        plainKey.clear();
}

void RepeatCounter::expire(qint64 nowMs, QVector<Summary>* due)
{
    QStringList stopped;
    for (auto it = entries.begin(); it != entries.end(); ++it) {
        if (nowMs - it->lastMs >= QuietMs) {
            stopped << it.key();
        } else if (nowMs - it->firstMs >= WindowMs && it->count > 0) {
            due->append(Summary{it->label, it->count, it->lastMs - it->firstMs});
            it->count = 0;
            it->firstMs = nowMs;
        }
    }
    for (const QString& key : stopped)
        close(key, due);
}

void RepeatCounter::flush(QVector<Summary>* due)
{
    const QStringList keys = entries.keys();
    for (const QString& key : keys)
        close(key, due);
}

bool RepeatCounter::admit(const QString& text, const QString& kind, qint64 nowMs, QVector<Summary>* due)
{
    const bool named = !kind.isEmpty();
    const QString key = named ? QStringLiteral("K:") + kind : QStringLiteral("T:") + text;
    expire(nowMs, due);
    // Plain text counts only while it comes right after itself.
    if (!plainKey.isEmpty() && plainKey != key) {
        close(plainKey, due);
        plainKey.clear();
    }
    if (!named)
        plainKey = key;

    const auto it = entries.find(key);
    if (it != entries.end()) {
        ++it->count;
        it->lastMs = nowMs;
        return false;
    }
    if (entries.size() >= MaxKinds) {
        auto oldest = entries.cbegin();
        for (auto e = entries.cbegin(); e != entries.cend(); ++e)
            if (e->order < oldest->order)
                oldest = e;
        close(oldest.key(), due);
    }
    Entry entry;
    entry.label = logtext::Safe(named ? kind : text, logtext::QuoteBytes);
    entry.named = named;
    entry.firstMs = entry.lastMs = nowMs;
    entry.order = ++arrivals;
    entries.insert(key, entry);
    return true;
}

// ---------------------------------------------------------------------------------------------

Logs* Logs::AccessMemory()
{
    return ::veltrax::Singleton<Logs>::access(&announceStart);
}

Logs::Logs(QObject* parent)
    : QThread(parent)
    , file(QString::fromLatin1(FileName))
{
    loadingfilefaild = true;
    if (Reset())
        loadingfilefaild = false;
    else
        qDebug().noquote() << QStringLiteral("[Construction] Logging failure: ") + QStringLiteral("Failed to open Log File.");
    start(QThread::LowPriority);
}

Logs::~Logs()
{
    {
        std::lock_guard<std::mutex> stopLocker(writeLock);
        stopping = true;
        wake.notify_all();
    }
    wait();
    {
        std::lock_guard<std::mutex> flushLocker(writeLock);
        QVector<RepeatCounter::Summary> due;
        repeats.flush(&due);
        writeSummaries(due);
    }
    udebug(QStringLiteral("Log Component Destrution"));
    udebug(QStringLiteral("Exit"));
}

void Logs::run()
{
    std::unique_lock<std::mutex> summaryLocker(writeLock);
    while (!stopping) {
        wake.wait_for(summaryLocker, std::chrono::milliseconds(250));
        if (stopping || repeats.isEmpty())
            continue;
        QVector<RepeatCounter::Summary> due;
        repeats.expire(steadyMs(), &due);
        writeSummaries(due);
    }
}

qint64 Logs::steadyMs() const
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void Logs::SetSizeLimit(qint64 bytes)
{
    sizeLimit = bytes >= 1024 * 1024 ? bytes : DefaultSizeLimit;
}

void Logs::ApplySettings(Registry& registry)
{
    // The log words its own line for a value outside the range, hence no settings::readInt.
    const settings::Declaration& limit = settings::log::SizeLimitMiB;
    const int megabytes = registry.GetKeyINT(settings::key(limit), settings::intDefault(limit));
    if (!settings::inRange(limit, megabytes)) {
        udebug(QStringLiteral("Log size limit %1=%2 MiB is out of range (%3 to %4): %5 MiB is used")
                   .arg(settings::key(limit))
                   .arg(megabytes)
                   .arg(int(limit.low))
                   .arg(int(limit.high))
                   .arg(DefaultSizeLimit >> 20));
        SetSizeLimit(DefaultSizeLimit);
        return;
    }
    SetSizeLimit(qint64(megabytes) << 20);
}

bool Logs::Reset()
{
    std::lock_guard<std::mutex> fileLocker(writeLock);
    if (!file.open(QIODevice::ReadWrite | QIODevice::Append | QIODevice::Text))
        return false;
    const qint64 before = file.size();
    const QByteArray separator = QByteArray("\n") + QByteArray(101, '#');
    const bool written = file.write(separator) == separator.size();
    file.close();
    if (!written || file.error() != QFileDevice::NoError) {
        qDebug().noquote() << QStringLiteral("[File Reset] Logging failure: ") + file.errorString();
        file.unsetError();
        filewrites::CutBackTo(file, before);
        return false;
    }
    return true;
}

QString Logs::getDateTime()
{
    return QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss[zzz]"));
}

void Logs::udebug(QString message, const QString& kind)
{
    std::lock_guard<std::mutex> recordLocker(writeLock);
    QVector<RepeatCounter::Summary> due;
    const bool fresh = repeats.admit(message, kind, steadyMs(), &due);
    writeSummaries(due);
    if (fresh) // only what is written is escaped: a flood of counted records costs little
        emitRecord(logtext::Safe(message));
}

void Logs::writeSummaries(const QVector<RepeatCounter::Summary>& due)
{
    for (const RepeatCounter::Summary& summary : due)
        emitRecord(summary.text());
}

void Logs::emitRecord(const QString& message)
{
    const QString stamped = QStringLiteral("[") + getDateTime() + QStringLiteral("]: ") + message;
    qDebug().noquote() << QStringLiteral(" Log:") + stamped;
    emit sendtotextarea(stamped);
    writetofile(QStringLiteral(" Log:") + stamped);
}

// Console and signal only: a failure of the file must never recurse into the file.
void Logs::reportFailure(const QString& text)
{
    const QString stamped = QStringLiteral("[") + getDateTime() + QStringLiteral("]: ") + text;
    qDebug().noquote() << QStringLiteral(" Log:") + stamped;
    emit sendtotextarea(stamped);
}

// The file is renamed, never cut in place: a reader that holds it open keeps what it had.
bool Logs::rotateFor(qint64 recordBytes)
{
    const qint64 size = QFileInfo(file.fileName()).size();
    const qint64 limit = sizeLimit.load();
    if (size == 0 || size + recordBytes <= limit)
        return true;
    if (std::rename(FileName, RotatedFileName) != 0) {
        reportFailure(QStringLiteral("Log file of %1 bytes could not be renamed to %2 (%3): record not written")
                          .arg(size)
                          .arg(QLatin1String(RotatedFileName))
                          .arg(QString::fromLocal8Bit(std::strerror(errno))));
        return false;
    }
    const QString notice = QStringLiteral("[") + getDateTime() + QStringLiteral("]: ")
        + QStringLiteral("Log file reached %1 bytes (limit %2): earlier records are in %3")
              .arg(size)
              .arg(limit)
              .arg(QLatin1String(RotatedFileName));
    qDebug().noquote() << QStringLiteral(" Log:") + notice;
    emit sendtotextarea(notice);
    if (file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text)) {
        const QByteArray record = QByteArray("\n Log:") + notice.toUtf8();
        file.write(record);
        file.close();
        file.unsetError();
    }
    return true;
}

void Logs::writetofile(QString message)
{
    if (loadingfilefaild)
        return;
    const QByteArray record = QByteArray("\n") + message.toUtf8();
    if (!rotateFor(record.size()))
        return;
    if (!file.open(QIODevice::ReadWrite | QIODevice::Append | QIODevice::Text)) {
        file.unsetError();
        reportFailure(QStringLiteral("Can not Read or Create Log file."));
        return;
    }
    const qint64 before = file.size();
    const bool written = file.write(record) == record.size();
    file.close(); // flushes; a full disk shows up here
    if (!written || file.error() != QFileDevice::NoError) {
        const QString reason = filewrites::IsShortWrite(file)
            ? QStringLiteral("only part of the record was written (disk full?)")
            : file.errorString();
        file.unsetError();
        // A disk that fills up in the middle of a record keeps the part that fitted: cut back,
        // the file holds whole records only.
        filewrites::CutBackTo(file, before);
        reportFailure(QStringLiteral("Can not Write into Log file:") + reason);
    }
}
