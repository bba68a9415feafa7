#pragma once

#include <QMetaType>
#include <QString>
#include <QStringList>
#include <QVector>

class Logs;
class MotionSettings;
class Registry;

namespace settings {
struct Declaration;
}

// What one calibration run measured: every point, every fit and, for each calibration value it
// can set, the stored value beside the measured one. A plain value, handed from the
// calibration's thread to the window through a queued signal.
struct CalibrationValue
{
    QString name;                                  // "Top Large pixel size"
    const settings::Declaration* key = nullptr;    // the setting it replaces; null: shown only
    QString unit;                                  // of stored, measured and uncertainty
    double stored = 0;
    double measured = 0;
    double uncertainty = 0;                        // one standard deviation
    double residual = 0;                           // of the fit, in residualUnit
    QString residualUnit;
    bool measuredOk = false;                       // a value was measured
    QString refused;                               // why it cannot be accepted; empty: it can

    bool acceptable() const { return key != nullptr && measuredOk && refused.isEmpty(); }
    // "Top Large pixel size: stored 26.368, measured 25.6012 +- 0.0103 µm (residual 0.09 px)"
    // with ", refused: ..." when refused.
    QString text() const;
};

struct CalibrationResult
{
    bool complete = false;      // ran to the end (values may still be refused)
    QString stopReason;         // why it ended early; empty when complete
    QString startedAt;          // yyyyMMdd-HHmmss, the report's name
    double durationS = 0;
    QVector<CalibrationValue> values;
    QStringList points;         // one line per measurement point
    QStringList fits;           // one line per fit
    // The automatic centring tool: best front focus with the stone at A and at A + 180 degrees,
    // and the focus of the rotation axis between them (ZII positions).
    double ziiLeft = 0, ziiRight = 0, ziiCenter = 0;
    bool ziiCentring = false;

    // The report: every point, every fit, every value, and the accepted keys once known.
    QString reportText(const QStringList& accepted = QStringList()) const;
};

Q_DECLARE_METATYPE(CalibrationResult)

namespace calibration {

// The report's file name in the working folder: calibration-YYYYMMDD-HHMMSS.txt.
QString ReportFileName(const CalibrationResult& result);
// Writes the report whole (a temporary file renamed over the old one). False, logged, on failure.
bool WriteReport(const CalibrationResult& result, const QStringList& accepted, Logs& log);

// Stores the acceptable values: each into the running settings and the settings file, which is
// then saved as a whole; one log line per key ("Calibration: PMTLPXS 26.368 -> 25.6012").
// Refused and shown-only values are left alone. Returns the lines logged (empty: nothing stored).
QStringList Accept(const CalibrationResult& result, MotionSettings& motion, Registry& registry, Logs& log);

} // namespace calibration
