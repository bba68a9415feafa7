// The settings page's "Calibration" tab: the operator starts and stops the station's calibration
// (motion/calibration.h), sees each measured value beside the stored one with its uncertainty and
// residual, and stores the acceptable ones with "Accept".
#include "mainwindow.h"

#include "ui_mainwindow.h"

#include "core/logs.h"
#include "core/settingsdecl.h"
#include "motion/calibration.h"
#include "motion/motioncore.h"
#include "vision/gridleanalyser.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTableWidget>
#include <QVBoxLayout>

namespace {
enum Column { Name, Key, Stored, Measured, Uncertainty, Residual, Status, Columns };

QString number(double v)
{
    return QString::number(v, 'g', 6);
}
} // namespace

void MainWindow::setUpCalibration()
{
    calibration.reset(new Calibration(Motion, logging, AppRegistry));
    connect(GridleTraker, &GridleAnalyser::NewMFGirdle, calibration.get(), &Calibration::onGirdle);

    auto* tab = new QWidget;
    tab->setObjectName(QStringLiteral("tabWSettingsCalibration"));
    auto* layout = new QVBoxLayout(tab);
    auto* intro = new QLabel(QStringLiteral(
        "Moves X, A, ZII and Y through the host and measures the Top Large and Marking Front pixel sizes, the "
        "rotation axis and the front focus. Place the stone in front of the front camera first. Nothing is "
        "stored until Accept."));
    intro->setWordWrap(true);
    layout->addWidget(intro);
    auto* buttons = new QHBoxLayout;
    calibrationStart = new QPushButton(QStringLiteral("Start"));
    calibrationStart->setObjectName(QStringLiteral("pushButtonCalibrationStart"));
    calibrationStop = new QPushButton(QStringLiteral("Stop"));
    calibrationStop->setObjectName(QStringLiteral("pushButtonCalibrationStop"));
    calibrationAccept = new QPushButton(QStringLiteral("Accept"));
    calibrationAccept->setObjectName(QStringLiteral("pushButtonCalibrationAccept"));
    calibrationStop->setEnabled(false);
    calibrationAccept->setEnabled(false);
    buttons->addWidget(calibrationStart);
    buttons->addWidget(calibrationStop);
    buttons->addWidget(calibrationAccept);
    buttons->addStretch(1);
    layout->addLayout(buttons);
    calibrationStatus = new QLabel(QStringLiteral("Not run"));
    calibrationStatus->setObjectName(QStringLiteral("labelCalibrationStatus"));
    calibrationStatus->setWordWrap(true);
    layout->addWidget(calibrationStatus);
    calibrationTable = new QTableWidget(0, Columns);
    calibrationTable->setObjectName(QStringLiteral("tableCalibration"));
    calibrationTable->setHorizontalHeaderLabels(
        {QStringLiteral("Value"), QStringLiteral("Key"), QStringLiteral("Stored"), QStringLiteral("Measured"),
         QStringLiteral("±"), QStringLiteral("Residual"), QStringLiteral("")});
    calibrationTable->horizontalHeader()->setStretchLastSection(true);
    calibrationTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    layout->addWidget(calibrationTable, 1);
    ui->tabWidgetSettings->addTab(tab, QStringLiteral("Calibration"));

    connect(calibrationStart, &QPushButton::clicked, this, [this] {
        QString why;
        if (!calibration->Start(&why)) {
            calibrationStatus->setText(QStringLiteral("Not started: ") + why);
            return;
        }
        calibrationStart->setEnabled(false);
        calibrationStop->setEnabled(true);
        calibrationAccept->setEnabled(false);
        calibrationStatus->setText(QStringLiteral("Calibration started"));
    });
    connect(calibrationStop, &QPushButton::clicked, calibration.get(), &Calibration::Stop);
    connect(calibrationAccept, &QPushButton::clicked, this, &MainWindow::acceptCalibration);
    connect(calibration.get(), &Calibration::Progress, calibrationStatus, &QLabel::setText);
    connect(calibration.get(), &Calibration::Finished, this, &MainWindow::showCalibrationResult);
}

void MainWindow::showCalibrationResult(const CalibrationResult& result)
{
    calibrationStart->setEnabled(true);
    calibrationStop->setEnabled(false);
    calibrationStatus->setText(result.complete ? QStringLiteral("Complete in %1 s").arg(result.durationS, 0, 'f', 1)
                                               : QStringLiteral("Stopped: ") + result.stopReason
                                                     + QStringLiteral("; the axes stay where they are"));
    calibrationTable->setRowCount(result.values.size());
    bool acceptable = false;
    for (int row = 0; row < result.values.size(); ++row) {
        const CalibrationValue& v = result.values[row];
        acceptable = acceptable || v.acceptable();
        const QString unit = v.unit.isEmpty() ? QString() : QLatin1Char(' ') + v.unit;
        const QStringList cells{v.name,
                                v.key ? QLatin1String(v.key->key) : QString(),
                                v.key ? number(v.stored) : QString(),
                                v.measuredOk ? number(v.measured) + unit : QString(),
                                v.measuredOk ? number(v.uncertainty) : QString(),
                                v.measuredOk ? number(v.residual) + QLatin1Char(' ') + v.residualUnit : QString(),
                                !v.refused.isEmpty() ? QStringLiteral("refused: ") + v.refused
                                                     : (v.key ? QStringLiteral("can be accepted") : QStringLiteral("shown only"))};
        for (int column = 0; column < Columns; ++column) {
            auto* item = new QTableWidgetItem(cells[column]);
            if (!v.refused.isEmpty())
                item->setForeground(Qt::red);
            calibrationTable->setItem(row, column, item);
        }
    }
    calibrationTable->resizeColumnsToContents();
    calibrationAccept->setEnabled(acceptable);
    if (result.ziiCentring) {
        // The automatic centring tool's two sides, as the Marking Front page's tool shows them.
        ui->doubleSpinBoxMFCenteringLeft->setValue(result.ziiLeft);
        ui->doubleSpinBoxMFCenteringRight->setValue(result.ziiRight);
    }
}

void MainWindow::acceptCalibration()
{
    const QStringList stored = calibration->Accept();
    calibrationAccept->setEnabled(false);
    calibrationStatus->setText(stored.isEmpty() ? QStringLiteral("Nothing stored")
                                                : QStringLiteral("Stored: ") + stored.join(QStringLiteral(", ")));
    // The panels show what the motion core now holds. Their boxes round to their decimals and
    // would pass the rounded value back: they show it without passing it on.
    auto show = [](auto* box, auto value) {
        const QSignalBlocker blocker(box);
        box->setValue(value);
    };
    show(ui->doubleSpinBoxPixelSizeValTopL, Motion->TLPixelSize.load());
    show(ui->doubleSpinBoxPixelSizeValMF, Motion->MFPixelSize.load());
    show(ui->doubleSpinBoxXFocalPositionCamMF, Motion->MFXFocusPosition.load());
    show(ui->doubleSpinBoxGridleOffsetPositionCamMF, Motion->MFYOffsetPosition.load());
    show(ui->spinBoxVCentringOverlayCamTopL, Motion->OverlayTLCenterV.load());
    show(ui->spinBoxVCentringOverlayCamMF, Motion->OverlayMFCenterV.load());
    // The girdle's micrometres follow the front pixel size.
    GridleTraker->MFPixelSizeUm = Motion->MFPixelSize.load();
}
