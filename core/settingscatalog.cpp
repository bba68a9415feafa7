#include "settingscatalog.h"

namespace settings {

namespace {
constexpr const char* Motion = "Motion Core";
} // namespace

namespace motion {
const Declaration OverlayTLCenterH{"POVTLLOH", Type::Int, 200, nullptr, -Any, Any, Motion,
                                   "Top Large centring line row", nullptr};
const Declaration OverlayTLCenterV{"POVTLLOV", Type::Int, 200, nullptr, -Any, Any, Motion,
                                   "Top Large centring line column", nullptr};
const Declaration OverlayTLCenterCirclesNumber{"POVTLCON", Type::Int, 5, nullptr, -Any, Any, Motion,
                                               "number of Top Large centring circles", nullptr};
const Declaration OverlayTLCenterCirclesSpace{"POVTLCOD", Type::Real, 17, nullptr, -Any, Any, Motion,
                                              "spacing of the Top Large centring circles, px", nullptr};
const Declaration OverlayTLFocalX{"POVTLFOH", Type::Int, 0, nullptr, -Any, Any, Motion,
                                  "Top Large focal mark, column", nullptr};
const Declaration OverlayTLFocalY{"POVTLFOV", Type::Int, 0, nullptr, -Any, Any, Motion,
                                  "Top Large focal mark, row", nullptr};
const Declaration OverlayMFCenterH{"POVMFLOH", Type::Int, 200, nullptr, -Any, Any, Motion,
                                   "front-camera centring line row, in the Top Large image", nullptr};
const Declaration OverlayMFCenterV{"POVMFLOV", Type::Int, 200, nullptr, -Any, Any, Motion,
                                   "front-camera centring line column, in the Top Large image", nullptr};
const Declaration OverlayMFFocalX{"POVMFFOH", Type::Int, 0, nullptr, -Any, Any, Motion,
                                  "front-camera focal mark, column, in the Top Large image", nullptr};
const Declaration OverlayMFFocalY{"POVMFFOV", Type::Int, 0, nullptr, -Any, Any, Motion,
                                  "front-camera focal mark, row, in the Top Large image", nullptr};
const Declaration TLPixelSize{"PMTLPXS", Type::Real, 25.6, nullptr, -Any, Any, Motion,
                              "pixel size of Top Large, thousandths of an axis unit", nullptr};
const Declaration MFPixelSize{"PMMFPXS", Type::Real, 1.27, nullptr, -Any, Any, Motion,
                              "pixel size of Marking Front, thousandths of an axis unit", nullptr};
const Declaration MFPixelDeg{"PMMFPXD", Type::Real, 0.041707, nullptr, -Any, Any, Motion,
                             "front degrees per pixel (stored and edited; no computation uses it)", nullptr};
const Declaration TLZFocusPosition{"PZFTLPOS", Type::Real, 15, nullptr, -Any, Any, Motion,
                                   "inscription: Z focus base position", nullptr};
const Declaration TLYOffsetPosition{"PYOFFSTLPOS", Type::Real, 10.32, nullptr, -Any, Any, Motion,
                                    "inscription: Y offset base position", nullptr};
const Declaration MFXFocusPosition{"PXIIFMFPOS", Type::Real, 15, nullptr, -Any, Any, Motion,
                                   "front camera: ZII focus base position", nullptr};
const Declaration MFYOffsetPosition{"PZIIOFFSMFPOS", Type::Real, 12, nullptr, -Any, Any, Motion,
                                    "front camera: Y offset base position", nullptr};
const Declaration RoundCrownPercent{"PROUNDSTLCR", Type::Real, 15.4, nullptr, -Any, Any, Motion,
                                    "crown height of a round stone, percent of its diameter", nullptr};
const Declaration RoundGirdlePercent{"PROUNDSTLGR", Type::Real, 2.5, nullptr, -Any, Any, Motion,
                                     "girdle height of a round stone, percent of its diameter", nullptr};
const Declaration MeasurementWaitMs{
    "PMALMEASTO", Type::Int, 5000, nullptr, 100, 600000, Motion,
    "alignment: longest wait for a stone measured in a frame taken after the motion, ms, counted from "
    "the last result of a frame from before the settle time",
    nullptr};
const Declaration StatusAnswerWaitMs{"PMALGMSTO", Type::Int, 60000, nullptr, 100, 3600000, Motion,
                                     "alignment and scan: longest wait for the MOVESTAT answer to one GMS, ms",
                                     nullptr};
const Declaration SettleMs{"PMALSETTLE", Type::Int, 20, nullptr, 0, 10000, Motion,
                           "alignment: time after the host reported the axes still before a frame counts as "
                           "showing where they stopped, ms",
                           nullptr};
const Declaration PositionTolerance{
    "PMALPOSTOL", Type::Real, 0.001, nullptr, 0, 10, Motion,
    "alignment and scan: how close (axis units; plus the last of the six digits a command carries) the reported "
    "positions must be to the commanded ones before a motion counts as ended",
    nullptr};
const Declaration ResidualLimitUm{
    "PMALRESMAX", Type::Real, 51.2, nullptr, 0.1, 100000, Motion,
    "alignment: largest residual after the last move on any axis the alignment aligns, \u00b5m (thousandths of an "
    "axis unit); more fails with `RESIDUAL`",
    "2 \u00d7 `PMTLPXS` (51.2)"};
} // namespace motion

const std::vector<const Declaration*>& all()
{
    using namespace motion;
    static const std::vector<const Declaration*> list{
        &OverlayTLCenterH, &OverlayTLCenterV, &OverlayTLCenterCirclesNumber, &OverlayTLCenterCirclesSpace,
        &OverlayTLFocalX, &OverlayTLFocalY, &OverlayMFCenterH, &OverlayMFCenterV, &OverlayMFFocalX,
        &OverlayMFFocalY, &TLPixelSize, &MFPixelSize, &MFPixelDeg, &TLZFocusPosition, &TLYOffsetPosition,
        &MFXFocusPosition, &MFYOffsetPosition, &RoundCrownPercent, &RoundGirdlePercent, &MeasurementWaitMs,
        &StatusAnswerWaitMs, &SettleMs, &PositionTolerance, &ResidualLimitUm,
    };
    return list;
}

} // namespace settings
