#include "motion/motionsettings.h"

#include "core/logs.h"
#include "core/registry.h"
#include "core/settingscatalog.h"

namespace decl = settings::motion;

using settings::intDefault;

MotionSettings::MotionSettings()
    : OverlayTLCenterH(intDefault(decl::OverlayTLCenterH))
    , OverlayTLCenterV(intDefault(decl::OverlayTLCenterV))
    , OverlayTLCenterCirclesNumber(intDefault(decl::OverlayTLCenterCirclesNumber))
    , OverlayTLCenterCirclesSpace(decl::OverlayTLCenterCirclesSpace.number)
    , OverlayTLFocalX(intDefault(decl::OverlayTLFocalX))
    , OverlayTLFocalY(intDefault(decl::OverlayTLFocalY))
    , OverlayMFCenterH(intDefault(decl::OverlayMFCenterH))
    , OverlayMFCenterV(intDefault(decl::OverlayMFCenterV))
    , OverlayMFFocalX(intDefault(decl::OverlayMFFocalX))
    , OverlayMFFocalY(intDefault(decl::OverlayMFFocalY))
    , TLPixelSize(decl::TLPixelSize.number)
    , MFPixelSize(decl::MFPixelSize.number)
    , MFPixelDeg(decl::MFPixelDeg.number)
    , TLZFocusPosition(decl::TLZFocusPosition.number)
    , TLYOffsetPosition(decl::TLYOffsetPosition.number)
    , MFYOffsetPosition(decl::MFYOffsetPosition.number)
    , MFXFocusPosition(decl::MFXFocusPosition.number)
    , RoundCrownPercent(decl::RoundCrownPercent.number)
    , RoundGridlePercent(decl::RoundGirdlePercent.number)
    , MeasurementWaitMs(intDefault(decl::MeasurementWaitMs))
    , StatusAnswerWaitMs(intDefault(decl::StatusAnswerWaitMs))
    , SettleMs(intDefault(decl::SettleMs))
    , PositionTolerance(decl::PositionTolerance.number)
    , ResidualLimitUm(decl::ResidualLimitUm.number)
{
}

void MotionSettings::loadTopLarge(Registry& r, Logs& log)
{
    using settings::readInt;
    using settings::readReal;
    OverlayTLCenterH = readInt(r, log, decl::OverlayTLCenterH);
    OverlayTLCenterV = readInt(r, log, decl::OverlayTLCenterV);
    OverlayTLCenterCirclesNumber = readInt(r, log, decl::OverlayTLCenterCirclesNumber);
    OverlayTLCenterCirclesSpace = readReal(r, log, decl::OverlayTLCenterCirclesSpace);
    OverlayTLFocalX = readInt(r, log, decl::OverlayTLFocalX);
    OverlayTLFocalY = readInt(r, log, decl::OverlayTLFocalY);
    TLPixelSize = readReal(r, log, decl::TLPixelSize);
    TLZFocusPosition = readReal(r, log, decl::TLZFocusPosition);
    TLYOffsetPosition = readReal(r, log, decl::TLYOffsetPosition);
    RoundCrownPercent = readReal(r, log, decl::RoundCrownPercent);
    RoundGridlePercent = readReal(r, log, decl::RoundGirdlePercent);
    OverlayMFCenterH = readInt(r, log, decl::OverlayMFCenterH);
    OverlayMFCenterV = readInt(r, log, decl::OverlayMFCenterV);
    OverlayMFFocalX = readInt(r, log, decl::OverlayMFFocalX);
    OverlayMFFocalY = readInt(r, log, decl::OverlayMFFocalY);
    MFXFocusPosition = readReal(r, log, decl::MFXFocusPosition);
    MFYOffsetPosition = readReal(r, log, decl::MFYOffsetPosition);
    loadWaitParameters(r, log);
    const QString problem = alignment::CheckParameters(CurrentParameters(), MFPixelSize, {});
    if (!problem.isEmpty())
        log.udebug(QStringLiteral("Motion Core: implausible setting, alignments will be refused: ") + problem);
}

void MotionSettings::loadWaitParameters(Registry& r, Logs& log)
{
    MeasurementWaitMs = settings::readInt(r, log, decl::MeasurementWaitMs);
    StatusAnswerWaitMs = settings::readInt(r, log, decl::StatusAnswerWaitMs);
    SettleMs = settings::readInt(r, log, decl::SettleMs);
    PositionTolerance = settings::readReal(r, log, decl::PositionTolerance);
    // Two TL pixels: an alignment lands within one; more means it did not see where it moved.
    // The declared default is two pixels of the default pixel size.
    settings::Declaration residual = decl::ResidualLimitUm;
    const double pixel = TLPixelSize;
    if (pixel > 0 && pixel <= alignment::PixelSizeLimit)
        residual.number = 2 * pixel;
    ResidualLimitUm = settings::readReal(r, log, residual);
}

void MotionSettings::saveTopLarge(Registry& r) const
{
    using settings::write;
    write(r, decl::OverlayTLCenterH, OverlayTLCenterH.load());
    write(r, decl::OverlayTLCenterV, OverlayTLCenterV.load());
    write(r, decl::OverlayTLCenterCirclesNumber, OverlayTLCenterCirclesNumber.load());
    write(r, decl::OverlayTLCenterCirclesSpace, OverlayTLCenterCirclesSpace.load());
    write(r, decl::OverlayTLFocalX, OverlayTLFocalX.load());
    write(r, decl::OverlayTLFocalY, OverlayTLFocalY.load());
    write(r, decl::TLPixelSize, TLPixelSize.load());
    write(r, decl::TLZFocusPosition, TLZFocusPosition.load());
    write(r, decl::TLYOffsetPosition, TLYOffsetPosition.load());
    write(r, decl::RoundCrownPercent, RoundCrownPercent.load());
    write(r, decl::RoundGirdlePercent, RoundGridlePercent.load());
    write(r, decl::OverlayMFCenterH, OverlayMFCenterH.load());
    write(r, decl::OverlayMFCenterV, OverlayMFCenterV.load());
    write(r, decl::OverlayMFFocalX, OverlayMFFocalX.load());
    write(r, decl::OverlayMFFocalY, OverlayMFFocalY.load());
    write(r, decl::MFXFocusPosition, MFXFocusPosition.load());
    write(r, decl::MFYOffsetPosition, MFYOffsetPosition.load());
    write(r, decl::MeasurementWaitMs, MeasurementWaitMs.load());
    write(r, decl::StatusAnswerWaitMs, StatusAnswerWaitMs.load());
    write(r, decl::SettleMs, SettleMs.load());
    write(r, decl::PositionTolerance, PositionTolerance.load());
    write(r, decl::ResidualLimitUm, ResidualLimitUm.load());
}

void MotionSettings::loadMarkingFront(Registry& r, Logs& log)
{
    MFPixelSize = settings::readReal(r, log, decl::MFPixelSize);
    MFPixelDeg = settings::readReal(r, log, decl::MFPixelDeg);
}

void MotionSettings::saveMarkingFront(Registry& r) const
{
    settings::write(r, decl::MFPixelSize, MFPixelSize.load());
    settings::write(r, decl::MFPixelDeg, MFPixelDeg.load());
}

alignment::Parameters MotionSettings::CurrentParameters() const
{
    alignment::Parameters p;
    p.overlayTLCenterH = OverlayTLCenterH;
    p.overlayTLFocalX = OverlayTLFocalX;
    p.overlayMFCenterV = OverlayMFCenterV;
    p.overlayMFFocalX = OverlayMFFocalX;
    p.tlPixelSize = TLPixelSize;
    p.tlZFocusPosition = TLZFocusPosition;
    p.tlYOffsetPosition = TLYOffsetPosition;
    p.mfYOffsetPosition = MFYOffsetPosition;
    p.mfXFocusPosition = MFXFocusPosition;
    p.roundCrownPercent = RoundCrownPercent;
    p.roundGridlePercent = RoundGridlePercent;
    return p;
}
