#pragma once

// Wire-level rules of the host link, free of sockets and threads.
//
// Data connection, host to station: tag ":" command ";" (the tag is at least one character and
// is not examined). Station to host: sequence number ":" text ";", or, for an image message,
// sequence number ":" text "->" BMP file ";" (the host sizes the image from the BMP header).
// Video connection, station to host: 16-byte header ("-SIZE-" as UTF-16LE, then the payload
// length as a little-endian signed 32-bit integer) followed by the payload (a JPEG file).

#include <QByteArray>
#include <QImage>
#include <QString>
#include <QStringList>

namespace hostprotocol {

// Receive text is capped: a peer that never sends ";" must not grow it without bound.
constexpr int DefaultReceiveCap = 1024 * 1024;

// Sequence numbers of outgoing messages run 1..1001 and wrap to 1.
constexpr int LastSequenceNumber = 1001;
int nextSequence(int current);

// Decodes the bytes of the data connection as UTF-8, chunk by chunk (a character split between
// two chunks is joined). A byte that is not part of valid UTF-8 becomes U+DC00 + byte (an
// unpaired surrogate that no command contains), so that the log can show the byte itself
// (logtext::Safe writes it as \xNN) instead of a replacement character.
class ByteDecoder
{
public:
    QString decode(const QByteArray& bytes);
    // Forgets an unfinished character (connection ended); returns its byte count.
    int reset();

private:
    QByteArray carry; // start of a character whose remaining bytes have not arrived yet
};

// Cuts tagged messages out of the text received on the data connection.
//
// A message is everything up to the next ";". Its tag is the text before its first ":"; the
// command is what follows that ":". A message without a tag (no ":" before its ";", or ":" as
// its first character) is discarded with a note and the next message is served, so one bad
// message cannot block the link. Characters between messages (line ends) become part of the
// next tag. When more than the cap of text has arrived without a ";", that text cannot become
// a message within bounds: it is dropped, with a note, together with everything up to and
// including the next ";".
class ReceiveFramer
{
public:
    explicit ReceiveFramer(int cap = DefaultReceiveCap);

    void append(const QString& text);
    // Cuts every complete message; commands in arrival order (tag removed, spaces kept).
    QStringList takeCommands();
    // Drops the incomplete rest (connection ended); returns the number of characters dropped.
    int clear();
    // Log texts about discarded input since the last call, oldest first.
    QStringList takeNotes();

    int size() const { return pending.size(); }
    bool isEmpty() const { return pending.isEmpty(); }
    bool hasCompleteMessage() const { return pending.contains(QLatin1Char(';')); }
    int cap() const { return limit; }

private:
    void enforceCap();

    QString pending;
    QStringList notes;
    int limit;
    bool skipToSeparator = false;  // after an overflow: drop through the next ";"
    qint64 skippedChars = 0;
};

// What one host command asks for.
struct Action
{
    enum Kind {
        Coords,           // NewCoord(values[0..4])
        CoordsMalformed,  // COORDS with fewer than five fields: ignored
        AlignInscription, // BGALIGN: StartAutoAlignement(false), reply "ALIGNBG"
        AlignFront,       // BGRALIGN: StartMFAutoAlignement(false), reply "ALIGNBG"
        Scan,             // BGSCAN: StartAutoScan(), reply "SCANBG"
        Appx,             // APPX...: accepted, no effect
        MotionStatus,     // NewMotionStatus(status[0..2])
        MotionStatusMalformed, // MOVESTAT without exactly three fields: ignored
        EngageXAlign,     // ENAAX: EngageAutoXAlign()
        SaveImage,        // QISI: SavingImageRequest()
        StreamFrame,      // RQI: StramRequest()
        Unknown           // logged as "CMD TO ADD " + command
    };

    Kind kind = Unknown;
    QString command;        // the command with every space removed
    QString reply;          // text to send at once, empty for none
    double values[5] = {0, 0, 0, 0, 0};
    int status[3] = {0, 0, 0};
    int unreadableFields = 0; // fields that were not numbers (read as 0)

    bool recognised() const { return kind != Unknown; }
};

Action interpretCommand(const QString& command);

// "seq:text;" as UTF-8.
QByteArray textFrame(int sequence, const QString& text);

// The 16-byte header in front of every video frame.
constexpr int VideoHeaderSize = 16;
QByteArray videoHeader(qint32 payloadSize);

// The image as a BMP file; empty when it cannot be encoded.
QByteArray encodeBmp(const QImage& image);
// "seq:text->" + bmp + ";" (text part UTF-8).
QByteArray imageMessage(int sequence, const QString& text, const QByteArray& bmp);

} // namespace hostprotocol
