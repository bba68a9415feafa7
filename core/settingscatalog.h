#pragma once

#include "settingsdecl.h"

// Every settings key of the station, declared once, grouped by the component that reads it.
// README's settings table is generated from this catalogue (settings::markdownTable()), and a
// test compares the two.
namespace settings {

namespace camera {
// Per camera role: the bound serial number, the area of interest, the exposure (percent of the
// camera's range) and the library that drives the camera.
extern const Declaration TLSerial, MFSerial, TSSerial;
extern const Declaration TLAoiX, TLAoiY, TLAoiW, TLAoiH, MFAoiX, MFAoiY, MFAoiW, MFAoiH, TSAoiX, TSAoiY,
    TSAoiW, TSAoiH;
extern const Declaration TLExposure, MFExposure, TSExposure;
extern const Declaration TLBackend, MFBackend, TSBackend;

// The keys of one camera role. The area's width and height default to the sensor's size,
// which only the opened camera knows: their readers pass it in.
struct RoleKeys
{
    const Declaration& serial;
    const Declaration& aoiX;
    const Declaration& aoiY;
    const Declaration& aoiW;
    const Declaration& aoiH;
    const Declaration& exposure;
    const Declaration& backend;
};
extern const RoleKeys TopLarge, MarkingFront, TopStandard;
} // namespace camera

namespace tracker {
// Top stone tracker, in the order they are read and written.
extern const Declaration ThreshMin, ThreshMax, CannyThreshVal, CannyThreshRatio, CannyThreshKernel, Erode, Dilate,
    InvertErodeDilate, AreaMargin, ContourSizeMin, ContourSizeMax;
} // namespace tracker

namespace gridle {
// Girdle analyser, in the order they are read and written.
extern const Declaration ThreshMin, ThreshMax, CannyThreshVal, CannyThreshRatio, CannyThreshKernel, Erode, Dilate,
    InvertErodeDilate, GradAlpha, GradBeta, GradGamma, ErodeCanny, DilateCanny, InvertErodeDilateCanny, LinesRho,
    LinesTheta, LinesThreshold, LinesMinLength, LinesMaxGap;
} // namespace gridle

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
// When a motion counts as ended (axis units) and the largest residual after the last move of an
// alignment (thousandths of an axis unit; its default is two Top Large pixels, passed in by the
// reader).
extern const Declaration PositionTolerance, ResidualLimitUm;
} // namespace motion

namespace window {
// Centre of the circles the window draws on the Top Large view, px.
extern const Declaration ChargingH, ChargingV;
} // namespace window

namespace scan {
extern const Declaration CapturesNumber, CapturesCovering, PanoramaFile, GirdleFile;
} // namespace scan

namespace log {
// Size limit of the log file, MiB.
extern const Declaration SizeLimitMiB;
} // namespace log

namespace host {
// Who may connect to the host port, and the interface it listens on.
extern const Declaration Allow, Listen;
} // namespace host

namespace store {
// The folder shared with the host.
extern const Declaration SharedFolder;
} // namespace store

} // namespace settings
