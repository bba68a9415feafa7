#include "motion/calibrationresult.h"

#include "core/logs.h"
#include "core/registry.h"
#include "core/settingscatalog.h"
#include "motion/motionsettings.h"

#include <QDir>
#include <QSaveFile>

#include <cmath>

namespace {

QString number(double value)
{
    return QString::number(value, 'g', 6);
}

// The running value of a key the calibration sets; false for a key it does not know.
bool setRunning(MotionSettings& m, const settings::Declaration* key, double value)
{
    namespace d = settings::motion;
    if (key == &d::TLPixelSize)
        m.TLPixelSize = value;
    else if (key == &d::MFPixelSize)
        m.MFPixelSize = value;
    else if (key == &d::MFXFocusPosition)
        m.MFXFocusPosition = value;
    else if (key == &d::MFYOffsetPosition)
        m.MFYOffsetPosition = value;
    else if (key == &d::OverlayTLCenterV)
        m.OverlayTLCenterV = int(std::lround(value));
    else if (key == &d::OverlayMFCenterV)
        m.OverlayMFCenterV = int(std::lround(value));
    else
        return false;
    return true;
}

QString valueText(const settings::Declaration* key, double value)
{
    if (key && key->type == settings::Type::Int)
        return QString::number(std::lround(value));
    return number(value);
}

} // namespace

QString CalibrationValue::text() const
{
    QString line = name + QStringLiteral(": stored ") + (key ? valueText(key, stored) : QStringLiteral("-"));
    if (measuredOk) {
        line += QStringLiteral(", measured ") + valueText(key, measured) + QStringLiteral(" +- ") + number(uncertainty)
                + (unit.isEmpty() ? QString() : QLatin1Char(' ') + unit) + QStringLiteral(" (residual ")
                + number(residual) + QLatin1Char(' ') + residualUnit + QLatin1Char(')');
    } else {
        line += QStringLiteral(", not measured");
    }
    if (!refused.isEmpty())
        line += QStringLiteral(", refused: ") + refused;
    else if (!key)
        line += QStringLiteral(", shown only");
    return line;
}

QString CalibrationResult::reportText(const QStringList& accepted) const
{
    QString text = QStringLiteral("Station calibration ") + startedAt + QLatin1Char('\n');
    text += complete ? QStringLiteral("Complete in %1 s\n").arg(durationS, 0, 'f', 1)
                     : QStringLiteral("Stopped after %1 s: %2\n").arg(durationS, 0, 'f', 1).arg(stopReason);
    text += QStringLiteral("\n[points]\n") + points.join(QLatin1Char('\n')) + QLatin1Char('\n');
    text += QStringLiteral("\n[fits]\n") + fits.join(QLatin1Char('\n')) + QLatin1Char('\n');
    text += QStringLiteral("\n[values]\n");
    for (const CalibrationValue& v : values)
        text += (v.key ? QLatin1String(v.key->key) + QStringLiteral(" ") : QString()) + v.text() + QLatin1Char('\n');
    if (ziiCentring)
        text += QStringLiteral("Centring: XII Left %1, XII Right %2, XII Center %3\n")
                    .arg(ziiLeft, 0, 'f', 4)
                    .arg(ziiRight, 0, 'f', 4)
                    .arg(ziiCenter, 0, 'f', 4);
    text += QStringLiteral("\n[accepted]\n") + (accepted.isEmpty() ? QStringLiteral("none") : accepted.join(QLatin1Char('\n')))
            + QLatin1Char('\n');
    return text;
}

namespace calibration {

QString ReportFileName(const CalibrationResult& result)
{
    return QStringLiteral("calibration-") + result.startedAt + QStringLiteral(".txt");
}

bool WriteReport(const CalibrationResult& result, const QStringList& accepted, Logs& log)
{
    const QString path = QDir::current().absoluteFilePath(ReportFileName(result));
    QSaveFile file(path);
    const QByteArray content = result.reportText(accepted).toUtf8();
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size() || !file.commit()) {
        log.udebug(QStringLiteral("Calibration: report ") + path + QStringLiteral(" not written: ") + file.errorString());
        return false;
    }
    log.udebug(QStringLiteral("Calibration: report written to ") + path);
    return true;
}

QStringList Accept(const CalibrationResult& result, MotionSettings& motion, Registry& registry, Logs& log)
{
    QStringList lines;
    for (const CalibrationValue& v : result.values) {
        if (!v.acceptable() || !setRunning(motion, v.key, v.measured))
            continue;
        if (v.key->type == settings::Type::Int)
            settings::write(registry, *v.key, int(std::lround(v.measured)));
        else
            settings::write(registry, *v.key, v.measured);
        lines << QLatin1String(v.key->key) + QLatin1Char(' ') + valueText(v.key, v.stored) + QStringLiteral(" -> ")
                     + valueText(v.key, v.measured);
    }
    if (lines.isEmpty()) {
        log.udebug(QStringLiteral("Calibration: nothing to accept"));
        return lines;
    }
    for (const QString& line : lines)
        log.udebug(QStringLiteral("Calibration: ") + line);
    if (!registry.SaveReg())
        log.udebug(QStringLiteral("Calibration: the settings file was not saved; the values hold until the station stops"));
    return lines;
}

} // namespace calibration
