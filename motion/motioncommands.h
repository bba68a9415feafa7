#pragma once

#include <QString>

// The move-command vocabulary of the host link. The host owns the axes X, Y, Z, A (rotation,
// degrees) and ZII (the front camera's focus axis, written F in commands). Numbers are written
// as the settings file writes reals: at most six significant digits, shortest general form
// (QString::number(v, 'g', 6)), so 1234.5678 goes out as 1234.57 and -0.00001 as -1e-05.
//
// A builder whose arguments include a value that is not a finite number returns an empty text:
// "nan" or "inf" must never reach the host as a position.
namespace motioncommands {

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

// Fixed texts of the alignment conversation.
extern const char* const StatusQuery;    // "GMS": the host answers MOVESTAT{master}:{a}:{zii}
extern const char* const AlignEnd;       // "ALIGNEND": a BGALIGN / BGRALIGN alignment finished
extern const char* const XAlignEnd;      // "ENAAXEND": the ENAAX alignment finished

} // namespace motioncommands
