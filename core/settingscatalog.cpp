#include "settingscatalog.h"

// The one place where settings keys are spelled. Each declaration: key, type, default (number
// or text), accepted range, owner's log prefix, meaning, README's default text when it is not
// the default itself.
namespace settings {

namespace {
constexpr const char* TopLargeCam = "Top Large";
constexpr const char* FrontCam = "Marking Front";
constexpr const char* StandardCam = "Top Standard";
constexpr const char* Tracker = "Top Stone Tracker";
constexpr const char* Analyser = "Gridle Analyser";
constexpr const char* Motion = "Motion Core";
constexpr const char* Window = "Main Window";
constexpr const char* Stitcher = "Gridle Stitcher";
constexpr const char* Log = "Log";
constexpr const char* Server = "TCP Server";
constexpr const char* Store = "Registry";
} // namespace

// The three camera roles share their wording; string pasting keeps each meaning one literal.
#define VELTRAX_EXPOSURE_MEANING \
    " exposure, percent of the camera's exposure range (GenICam: of the range that fits in one frame at " \
    "the camera's rate)"
#define VELTRAX_BACKEND_MEANING \
    " camera library: `SDK` (the camera SDK: the vendor's, or the rig in a rig build) or `GENICAM` (GigE " \
    "Vision and USB3 Vision cameras through Aravis); anything else is `SDK`. See \"GenICam cameras\""

namespace camera {
const Declaration TLSerial{"CAMTLID", Type::Text, 0, "1111111111", -Any, Any, TopLargeCam,
                             "serial number of the camera bound to Top Large (written by \"Apply\")", nullptr};
const Declaration MFSerial{"CAMMFID", Type::Text, 0, "2222222222", -Any, Any, FrontCam,
                             "serial number of the camera bound to Marking Front (written by \"Apply\")", nullptr};
const Declaration TSSerial{"CAMTSID", Type::Text, 0, "0000000000", -Any, Any, StandardCam,
                             "serial number of the camera bound to Top Standard (written by \"Apply\")", nullptr};
const Declaration TLAoiX{"CAMTLAOIX", Type::Int, 0, nullptr, -Any, Any, TopLargeCam,
                           "Top Large area of interest, left column", nullptr};
const Declaration TLAoiY{"CAMTLAOIY", Type::Int, 0, nullptr, -Any, Any, TopLargeCam,
                           "Top Large area of interest, top row", nullptr};
const Declaration TLAoiW{"CAMTLAOIW", Type::Int, 0, nullptr, -Any, Any, TopLargeCam,
                           "Top Large area of interest, width", "sensor width"};
const Declaration TLAoiH{"CAMTLAOIH", Type::Int, 0, nullptr, -Any, Any, TopLargeCam,
                           "Top Large area of interest, height", "sensor height"};
const Declaration MFAoiX{"CAMMFAOIX", Type::Int, 0, nullptr, -Any, Any, FrontCam,
                           "Marking Front area of interest, left column", nullptr};
const Declaration MFAoiY{"CAMMFAOIY", Type::Int, 0, nullptr, -Any, Any, FrontCam,
                           "Marking Front area of interest, top row", nullptr};
const Declaration MFAoiW{"CAMMFAOIW", Type::Int, 0, nullptr, -Any, Any, FrontCam,
                           "Marking Front area of interest, width", "sensor width"};
const Declaration MFAoiH{"CAMMFAOIH", Type::Int, 0, nullptr, -Any, Any, FrontCam,
                           "Marking Front area of interest, height", "sensor height"};
const Declaration TSAoiX{"CAMTSAOIX", Type::Int, 0, nullptr, -Any, Any, StandardCam,
                           "Top Standard area of interest, left column", nullptr};
const Declaration TSAoiY{"CAMTSAOIY", Type::Int, 0, nullptr, -Any, Any, StandardCam,
                           "Top Standard area of interest, top row", nullptr};
const Declaration TSAoiW{"CAMTSAOIW", Type::Int, 0, nullptr, -Any, Any, StandardCam,
                           "Top Standard area of interest, width", "sensor width"};
const Declaration TSAoiH{"CAMTSAOIH", Type::Int, 0, nullptr, -Any, Any, StandardCam,
                           "Top Standard area of interest, height", "sensor height"};
const Declaration TLExposure{"CAMTLEXPT", Type::Int, 50, nullptr, -Any, Any, TopLargeCam,
                               "Top Large" VELTRAX_EXPOSURE_MEANING, nullptr};
const Declaration MFExposure{"CAMMFEXPT", Type::Int, 50, nullptr, -Any, Any, FrontCam,
                               "Marking Front" VELTRAX_EXPOSURE_MEANING, nullptr};
const Declaration TSExposure{"CAMTSEXPT", Type::Int, 50, nullptr, -Any, Any, StandardCam,
                               "Top Standard" VELTRAX_EXPOSURE_MEANING, nullptr};
const Declaration TLBackend{"CAMTLBACKEND", Type::Text, 0, "SDK", -Any, Any, TopLargeCam,
                              "Top Large" VELTRAX_BACKEND_MEANING, nullptr};
const Declaration MFBackend{"CAMMFBACKEND", Type::Text, 0, "SDK", -Any, Any, FrontCam,
                              "Marking Front" VELTRAX_BACKEND_MEANING, nullptr};
const Declaration TSBackend{"CAMTSBACKEND", Type::Text, 0, "SDK", -Any, Any, StandardCam,
                              "Top Standard" VELTRAX_BACKEND_MEANING, nullptr};
const RoleKeys TopLarge{TLSerial, TLAoiX, TLAoiY, TLAoiW, TLAoiH, TLExposure, TLBackend};
const RoleKeys MarkingFront{MFSerial, MFAoiX, MFAoiY, MFAoiW, MFAoiH, MFExposure, MFBackend};
const RoleKeys TopStandard{TSSerial, TSAoiX, TSAoiY, TSAoiW, TSAoiH, TSExposure, TSBackend};
} // namespace camera

#undef VELTRAX_EXPOSURE_MEANING
#undef VELTRAX_BACKEND_MEANING

namespace tracker {
const Declaration ThreshMin{"PCVTLTHRMI", Type::Real, 164.7, nullptr, -Any, Any, Tracker, "top tracker: binary threshold: grey level above which a pixel is foreground", nullptr};
const Declaration ThreshMax{"PCVTLTHMA", Type::Real, 255, nullptr, -Any, Any, Tracker, "top tracker: value written for foreground pixels", nullptr};
const Declaration CannyThreshVal{"PCVTLCTHV", Type::Real, 160, nullptr, -Any, Any, Tracker, "top tracker: Canny lower hysteresis threshold", nullptr};
const Declaration CannyThreshRatio{"PCVTLCTHR", Type::Int, 1, nullptr, -Any, Any, Tracker, "top tracker: Canny upper threshold as a multiple of the lower", nullptr};
const Declaration CannyThreshKernel{"PCVTLCTHK", Type::Int, 3, nullptr, -Any, Any, Tracker, "top tracker: Canny aperture (3, 5 or 7)", nullptr};
const Declaration Erode{"PCVTLEV", Type::Int, 0, nullptr, -Any, Any, Tracker, "top tracker: erode kernel width, 0: none", nullptr};
const Declaration Dilate{"PCVTLDV", Type::Int, 0, nullptr, -Any, Any, Tracker, "top tracker: dilate kernel width, 0: none", nullptr};
const Declaration InvertErodeDilate{"PCVTLIED", Type::Bool, 0, nullptr, -Any, Any, Tracker, "top tracker: dilate before erode", nullptr};
const Declaration AreaMargin{"PCVTLAM", Type::Int, 10, nullptr, -Any, Any, Tracker, "top tracker: area margin (stored and edited; no effect on the detection)", nullptr};
const Declaration ContourSizeMin{"PCVTLCSFMI", Type::Int, 15000, nullptr, -Any, Any, Tracker, "top tracker: smallest stone outline area, px² (exclusive)", nullptr};
const Declaration ContourSizeMax{"PCVTLCSFMA", Type::Int, 99999, nullptr, -Any, Any, Tracker, "top tracker: largest stone outline area, px² (exclusive)", nullptr};
} // namespace tracker

namespace gridle {
const Declaration ThreshMin{"PCVMFTHRMI", Type::Real, 164.7, nullptr, -Any, Any, Analyser, "girdle analyser: value the adaptive threshold writes", nullptr};
const Declaration ThreshMax{"PCVMFTHMA", Type::Real, 255, nullptr, -Any, Any, Analyser, "girdle analyser: stored and edited; not used by the analysis", nullptr};
const Declaration CannyThreshVal{"PCVMFCTHV", Type::Real, 160, nullptr, -Any, Any, Analyser, "girdle analyser: Canny lower hysteresis threshold", nullptr};
const Declaration CannyThreshRatio{"PCVMFCTHR", Type::Int, 1, nullptr, -Any, Any, Analyser, "girdle analyser: Canny upper threshold as a multiple of the lower", nullptr};
const Declaration CannyThreshKernel{"PCVMFCTHK", Type::Int, 3, nullptr, -Any, Any, Analyser, "girdle analyser: Canny aperture (3, 5 or 7)", nullptr};
const Declaration Erode{"PCVMFEV", Type::Int, 0, nullptr, -Any, Any, Analyser, "girdle analyser: threshold morphology: erode size (ellipse)", nullptr};
const Declaration Dilate{"PCVMFDV", Type::Int, 0, nullptr, -Any, Any, Analyser, "girdle analyser: threshold morphology: dilate size (ellipse)", nullptr};
const Declaration InvertErodeDilate{"PCVMFIED", Type::Bool, 1, nullptr, -Any, Any, Analyser, "girdle analyser: threshold morphology: dilate first", nullptr};
const Declaration GradAlpha{"PCVMFGRA", Type::Real, 0.5, nullptr, -Any, Any, Analyser, "girdle analyser: gradient blend: weight of the horizontal gradient", nullptr};
const Declaration GradBeta{"PCVMFGRB", Type::Real, 0.5, nullptr, -Any, Any, Analyser, "girdle analyser: gradient blend: weight of the vertical gradient", nullptr};
const Declaration GradGamma{"PCVMFGRG", Type::Real, 0, nullptr, -Any, Any, Analyser, "girdle analyser: gradient blend: offset", nullptr};
const Declaration ErodeCanny{"PCVMFEVCA", Type::Int, 7, nullptr, -Any, Any, Analyser, "girdle analyser: edge morphology: erode size (rectangle)", nullptr};
const Declaration DilateCanny{"PCVMFDVCA", Type::Int, 10, nullptr, -Any, Any, Analyser, "girdle analyser: edge morphology: dilate size (rectangle)", nullptr};
const Declaration InvertErodeDilateCanny{"PCVMFIEDCA", Type::Bool, 1, nullptr, -Any, Any, Analyser, "girdle analyser: edge morphology: dilate first", nullptr};
const Declaration LinesRho{"PCVMFLINERHO", Type::Real, 10, nullptr, -Any, Any, Analyser, "girdle analyser: Hough segments: distance resolution, px", nullptr};
const Declaration LinesTheta{"PCVMFLINETTA", Type::Real, 0.017453292519943295, nullptr, -Any, Any, Analyser, "girdle analyser: Hough segments: angle resolution, rad (1 degree)", nullptr};
const Declaration LinesThreshold{"PCVMFLINETHLD", Type::Int, 255, nullptr, -Any, Any, Analyser, "girdle analyser: Hough segments: accumulator votes", nullptr};
const Declaration LinesMinLength{"PCVMFLINEMINL", Type::Real, 50, nullptr, -Any, Any, Analyser, "girdle analyser: Hough segments: shortest segment, px", nullptr};
const Declaration LinesMaxGap{"PCVMFLINEMAXG", Type::Real, 15, nullptr, -Any, Any, Analyser, "girdle analyser: Hough segments: largest gap inside a segment, px", nullptr};
} // namespace gridle

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
                                     "alignment and scan: longest wait for the MOVESTAT answer to one GMS, and "
                                     "for COORDS showing the commanded position once the host has reported the "
                                     "axes still, ms",
                                     nullptr};
const Declaration SettleMs{"PMALSETTLE", Type::Int, 20, nullptr, 0, 10000, Motion,
                           "alignment: time after the host reported the axes still (and at their commanded "
                           "positions) before a frame counts as showing where they stopped, ms",
                           nullptr};
const Declaration PositionTolerance{
    "PMALPOSTOL", Type::Real, 0.001, nullptr, 0, 10, Motion,
    "alignment and scan: how close (axis units; plus the last of the six digits a command carries) the "
    "reported positions must be to the commanded ones before a motion counts as ended",
    nullptr};
const Declaration ResidualLimitUm{
    "PMALRESMAX", Type::Real, 51.2, nullptr, 0.1, 100000, Motion,
    "alignment: largest residual after the last move on any axis the alignment aligns, µm (thousandths of "
    "an axis unit); more fails with `RESIDUAL`",
    "2 × `PMTLPXS` (51.2)"};
} // namespace motion

namespace window {
const Declaration ChargingH{"POVTLCHH", Type::Real, 400, nullptr, -1e9, 1e9, Window,
                            "centre of the circles drawn on the Top Large view, column, px (read as a whole pixel)",
                            nullptr};
const Declaration ChargingV{"POVTLCHV", Type::Real, 400, nullptr, -1e9, 1e9, Window,
                            "centre of the circles drawn on the Top Large view, row, px (read as a whole pixel)",
                            nullptr};
} // namespace window

namespace scan {
const Declaration CapturesNumber{"PSTTCHMFCAPN", Type::Int, 20, nullptr, -Any, Any, Stitcher,
                                 "girdle scan: stored frame count (unused)", nullptr};
const Declaration CapturesCovering{"PSTTCHMFCAPCOV", Type::Real, 0, nullptr, -Any, Any, Stitcher,
                                   "girdle scan: overlap of neighbouring frames (fraction of a frame)", nullptr};
const Declaration PanoramaFile{"PSTTCHMFPANOFILE", Type::Bool, 1, nullptr, -Any, Any, Stitcher,
                               "girdle scan: write the joined girdle panorama as `panorama.png` into the shared "
                               "folder (0: only shown on the window)",
                               nullptr};
const Declaration GirdleFile{"PSTTCHMFGIRDLEFILE", Type::Bool, 1, nullptr, -Any, Any, Stitcher,
                             "girdle scan: write the girdle per degree of A as `girdle.csv` into the shared "
                             "folder (0: only shown on the window)",
                             nullptr};
} // namespace scan

namespace log {
const Declaration SizeLimitMiB{"LOGMAXMB", Type::Int, 100, nullptr, 1, 1024 * 1024, Log,
                               "size limit of `Logs.ini` in MiB (out of range: 100 with a log line), see "
                               "`Logs.ini.1` above",
                               nullptr};
} // namespace log

namespace host {
const Declaration Allow{"HOSTALLOW", Type::Text, 0, "*", -Any, Any, Server,
                        "who may connect to the host port: `*` (everyone), or addresses and subnets separated by "
                        "commas, e.g. `10.0.0.7,192.168.1.0/24` (the settings store drops spaces). Entries that "
                        "are neither are ignored with a log line; a list with no valid entry admits nobody",
                        nullptr};
const Declaration Listen{"HOSTLISTEN", Type::Text, 0, "0.0.0.0", -Any, Any, Server,
                         "numeric address of the interface the host port listens on (`0.0.0.0`: every IPv4 "
                         "interface; anything else that is not a numeric address: the same, with a log line)",
                         nullptr};
} // namespace host

namespace store {
const Declaration SharedFolder{"PSHAREDFOLDER", Type::Text, 0, "/srv/samba/share/TXVeltraxIMG", -Any, Any, Store,
                               "folder shared with the host: `Cam2Snapshot.png` and scan frames `img_00.png`… "
                               "Created when missing. The only value that keeps its letter case.",
                               nullptr};
} // namespace store

const std::vector<const Declaration*>& all()
{
    static const std::vector<const Declaration*> list{
        // Cameras
        &camera::TLSerial, &camera::MFSerial, &camera::TSSerial,
        &camera::TLAoiX, &camera::TLAoiY, &camera::TLAoiW, &camera::TLAoiH,
        &camera::MFAoiX, &camera::MFAoiY, &camera::MFAoiW, &camera::MFAoiH,
        &camera::TSAoiX, &camera::TSAoiY, &camera::TSAoiW, &camera::TSAoiH,
        &camera::TLExposure, &camera::MFExposure, &camera::TSExposure,
        &camera::TLBackend, &camera::MFBackend, &camera::TSBackend,
        // Top stone tracker
        &tracker::ThreshMin, &tracker::ThreshMax, &tracker::CannyThreshVal, &tracker::CannyThreshRatio,
        &tracker::CannyThreshKernel, &tracker::Erode, &tracker::Dilate, &tracker::InvertErodeDilate,
        &tracker::AreaMargin, &tracker::ContourSizeMin, &tracker::ContourSizeMax,
        // Girdle analyser
        &gridle::ThreshMin, &gridle::ThreshMax, &gridle::CannyThreshVal, &gridle::CannyThreshRatio,
        &gridle::CannyThreshKernel, &gridle::Erode, &gridle::Dilate, &gridle::InvertErodeDilate,
        &gridle::GradAlpha, &gridle::GradBeta, &gridle::GradGamma, &gridle::ErodeCanny, &gridle::DilateCanny,
        &gridle::InvertErodeDilateCanny, &gridle::LinesRho, &gridle::LinesTheta, &gridle::LinesThreshold,
        &gridle::LinesMinLength, &gridle::LinesMaxGap,
        // Guide marks (motion) and the window's circles on the Top Large view
        &motion::OverlayTLCenterH, &motion::OverlayTLCenterV, &motion::OverlayTLCenterCirclesNumber,
        &motion::OverlayTLCenterCirclesSpace, &motion::OverlayTLFocalX, &motion::OverlayTLFocalY,
        &motion::OverlayMFCenterH, &motion::OverlayMFCenterV, &motion::OverlayMFFocalX, &motion::OverlayMFFocalY,
        &window::ChargingH, &window::ChargingV,
        // Calibration and alignment (motion)
        &motion::TLPixelSize, &motion::MFPixelSize, &motion::MFPixelDeg, &motion::TLZFocusPosition,
        &motion::TLYOffsetPosition, &motion::MFXFocusPosition, &motion::MFYOffsetPosition,
        &motion::RoundCrownPercent, &motion::RoundGirdlePercent, &motion::MeasurementWaitMs,
        &motion::StatusAnswerWaitMs, &motion::SettleMs, &motion::PositionTolerance, &motion::ResidualLimitUm,
        // Girdle scan, log, host port, shared folder
        &scan::CapturesNumber, &scan::CapturesCovering, &scan::PanoramaFile, &scan::GirdleFile,
        &log::SizeLimitMiB, &host::Allow, &host::Listen, &store::SharedFolder,
    };
    return list;
}

} // namespace settings
