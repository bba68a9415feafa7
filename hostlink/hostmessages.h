#pragma once

#include <QString>

// Everything the station says to the host on the data connection: fixed texts, move commands,
// scan reports and failure outcomes. What it understands is in hostprotocol.h.
//
// Move commands. The host owns the axes X, Y, Z, A (rotation,
// degrees) and ZII (the front camera's focus axis, written F in commands). Numbers are written
// as the settings file writes reals: at most six significant digits, shortest general form
// (QString::number(v, 'g', 6)), so 1234.5678 goes out as 1234.57 and -0.00001 as -1e-05.
//
// A builder whose arguments include a value that is not a finite number returns an empty text:
// "nan" or "inf" must never reach the host as a position.
namespace hostmessages {

enum class Axis { X, Y, Z, A, ZII };

// The number as it appears in a command or a report.
QString Number(double value);

// INCX{d}, INCY{d}, INCZ{d}, INCA{d}, INCF{d}
QString Increment(Axis axis, double distance);
// MOVEX{v}:, MOVEY{v}:, MOVEZ{v}:, MOVEA{v}:, MOVEF{v}:  (the trailing ":" is part of the form)
QString MoveTo(Axis axis, double position);
// MOVEX{x}:Y{y}:
QString MoveXY(double x, double y);
// MOVEX{x}:Y{y}:Z{z}:
QString MoveXYZ(double x, double y, double z);
// MOVEX{x}:Y{y}:Z{z}:A{a}:F{f}:
QString MoveXYZAF(double x, double y, double z, double a, double f);

// Fixed texts.
extern const char* const Connected;      // "NCQ": sent to a host when its data connection is taken
extern const char* const AlignBegin;     // "ALIGNBG": BGALIGN / BGRALIGN received
extern const char* const ScanBegin;      // "SCANBG": BGSCAN received
extern const char* const SnapshotDone;   // "SIDONE": the front snapshot is on disk
extern const char* const StatusQuery;    // "GMS": the host answers MOVESTAT{master}:{a}:{zii}
extern const char* const AlignEnd;       // "ALIGNEND": a BGALIGN / BGRALIGN alignment finished
extern const char* const XAlignEnd;      // "ENAAXEND": the ENAAX alignment finished
extern const char* const ScanEnd;        // "SCANEND": a scan ended (also after SCANFAIL)

// Why a request could not be completed; written as one upper-case word.
enum class FailReason {
    NoStone,    // NOSTONE: no stone found in the top view
    Clipped,    // CLIPPED: the stone touches the border of the top view
    Ambiguous,  // AMBIGUOUS: more than one stone-like outline
    Range,      // RANGE: a target that is not finite, or a move longer than the view justifies
    Camera,     // CAMERA: no fresh frame from the camera
    Busy,       // BUSY: another request of the same kind is running
    Settings,   // SETTINGS: a setting the targets depend on is implausible
    Storage,    // STORAGE: a scan frame or the front snapshot could not be stored
    Host,       // HOST: the host did not answer GMS in time, or never reported the commanded position
    Residual    // RESIDUAL: after its last move the stone stood further from its target than allowed
};
QString ReasonWord(FailReason reason);
// The reason for a word the tracker gives ("NOSTONE", "CLIPPED", "AMBIGUOUS"); NoStone for
// anything else.
FailReason ReasonFromTracker(const QString& word);
// A short explanation for the log and the window ("no stone found").
QString ReasonText(FailReason reason);

// ALIGNFAIL:{reason}  (BGALIGN, BGRALIGN; instead of ALIGNEND)
QString AlignFail(FailReason reason);
// ENAAXFAIL:{reason}  (ENAAX; instead of ENAAXEND)
QString XAlignFail(FailReason reason);
// SCANFAIL:{reason}   (a scan; SCANEND follows)
QString ScanFail(FailReason reason);
// SIFAIL:{reason}     (QISI; instead of SIDONE)
QString SnapshotFail(FailReason reason);

// Scan reports. Text form: IMGSCAP{i}COORDS{x}&{y}&{a}#{mfPixelSize}#{yOffsetDifference}#{D}#{step},
// where yOffsetDifference is the inscription Y offset minus the front-camera Y offset.
// Example: IMGSCAP3COORDS10.5&7.2&108#1.27#-1.68#5#36
QString ScanTextReport(int index, double x, double y, double a, double mfPixelSize, double yOffsetDifference,
                       double diameter, double step);
// Image form's text: IMGCAP{i}COORDS{x}&{y}&{a}; the image travels behind it.
QString ScanImageReportText(int index, double x, double y, double a);

} // namespace hostmessages
