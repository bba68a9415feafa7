// Arbitrary text as log messages: the escaped, cut record is one line with nothing a terminal
// acts on, stays within its length, and escaping it again changes nothing. The same bytes as a
// sequence of records, kinds and clock steps through the repeat counter: every record is either
// written or counted in exactly one summary, and nothing stays open after a flush.
#include "core/logs.h"

#include <QString>

#include <cstdint>
#include <cstdlib>

namespace {

bool safeCharacter(const QString& text, int i, int* units)
{
    const QChar c = text.at(i);
    *units = 1;
    uint ucs4 = c.unicode();
    if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
        ucs4 = QChar::surrogateToUcs4(c, text.at(i + 1));
        *units = 2;
    } else if (c.isSurrogate()) {
        return false;
    }
    if (ucs4 < 0x20 || (ucs4 >= 0x7F && ucs4 <= 0x9F))
        return false;
    const QChar::Category category = QChar::category(ucs4);
    return category != QChar::Other_Format && category != QChar::Separator_Line && category != QChar::Separator_Paragraph;
}

void checkSafe(const QString& text, int maxBytes)
{
    const QString safe = logtext::Safe(text, maxBytes);
    for (int i = 0, units = 1; i < safe.size(); i += units)
        if (!safeCharacter(safe, i, &units))
            abort();
    const int marker = 40; // "… (N more bytes)"
    if (safe.toUtf8().size() > maxBytes + marker)
        abort();
    if (safe.size() < text.size() / 8 && safe.toUtf8().size() < maxBytes / 2)
        abort(); // nothing may vanish unless the cut says so
    if (!safe.contains(QChar(0x2026)) && logtext::Safe(safe, maxBytes + marker) != safe)
        abort();
}

void checkRepeats(const uint8_t* data, size_t size)
{
    RepeatCounter counter;
    QVector<RepeatCounter::Summary> due;
    qint64 now = 0;
    qint64 records = 0;
    qint64 written = 0;
    for (size_t i = 0; i + 1 < size; i += 2) {
        const uint8_t op = data[i];
        const uint8_t arg = data[i + 1];
        if (op & 0x80) {
            // A clock step of up to about 70 s.
            now += (qint64(op & 0x7F) << 8 | arg) * 4;
            counter.expire(now, &due);
            continue;
        }
        static const QVector<QString> texts = [] {
            QVector<QString> all;
            for (int t = 0; t < 80; ++t)
                all << QStringLiteral("record %1").arg(t);
            return all;
        }();
        static const QString kinds[5] = {QStringLiteral("kind 0"), QStringLiteral("kind 1"), QStringLiteral("kind 2"),
                                         QStringLiteral("kind 3"), QStringLiteral("kind 4")};
        const QString& text = texts.at(arg % 80);
        const QString kind = (op & 0x40) ? kinds[op % 5] : QString();
        ++records;
        if (counter.admit(text, kind, now, &due))
            ++written;
        now += op & 0x07;
    }
    counter.flush(&due);
    if (!counter.isEmpty())
        abort();
    qint64 counted = 0;
    for (const RepeatCounter::Summary& summary : due) {
        if (summary.count <= 0 || summary.spanMs < 0 || summary.spanMs > RepeatCounter::WindowMs + 70000 * 4)
            abort();
        counted += summary.count;
    }
    if (written + counted != records)
        abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    // As UTF-16 (every unit, lone surrogates included) and as UTF-8 bytes.
    const QString units = QString::fromUtf16(reinterpret_cast<const char16_t*>(data), int(size / 2));
    const int maxBytes = 1 + data[0] * 4;
    checkSafe(units, maxBytes);
    checkSafe(QString::fromUtf8(reinterpret_cast<const char*>(data), int(size)), maxBytes);
    checkSafe(units, logtext::RecordBytes);
    checkRepeats(data, size < 96 ? size : 96);
    return 0;
}
