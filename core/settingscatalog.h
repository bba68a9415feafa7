#pragma once

#include "settingsdecl.h"

// Every settings key of the station, declared once, grouped by the component that reads it.
// README's settings table is generated from this catalogue (settings::markdownTable()), and a
// test compares the two.
namespace settings {

namespace motion {
// Guide marks (Top Large pixels) and calibration (pixel sizes in thousandths of an axis unit,
// positions in axis units).
extern const Declaration OverlayTLCenterH, OverlayTLCenterV, OverlayTLCenterCirclesNumber,
    OverlayTLCenterCirclesSpace, OverlayTLFocalX, OverlayTLFocalY, OverlayMFCenterH, OverlayMFCenterV,
    OverlayMFFocalX, OverlayMFFocalY;
extern const Declaration TLPixelSize, MFPixelSize, MFPixelDeg, TLZFocusPosition, TLYOffsetPosition,
    MFXFocusPosition, MFYOffsetPosition, RoundCrownPercent, RoundGirdlePercent;
// Bounds of the waits inside an alignment, milliseconds.
extern const Declaration MeasurementWaitMs, StatusAnswerWaitMs, SettleMs;
// Position tolerance of a motion's end (axis units) and residual limit (thousandths of an axis
// unit; its default follows PMTLPXS).
extern const Declaration PositionTolerance, ResidualLimitUm;
} // namespace motion

} // namespace settings
