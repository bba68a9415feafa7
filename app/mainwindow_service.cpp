// Service mode and page navigation: the overview is the operator's page; the camera, panorama
// and settings pages open only after the access code, one arrow step at a time.
#include "mainwindow.h"
#include "scan/gridlestitcher.h"

#include "ui_mainwindow.h"

#include "vision/gridleanalyser.h"

namespace {
// Compared exactly: letter case counts and nothing is trimmed.
const QString AccessCode = QStringLiteral("q7vbx#operate");
const QString ArrowsActive = QStringLiteral("color: rgb(0, 255, 0);");
const QString ArrowsInactive = QStringLiteral("color: rgb(255, 0, 0);");
const int LastPage = MainWindow::SettingsPage;
} // namespace

void MainWindow::ServiceMode(bool enable)
{
    IsServiceMode = enable;
    if (enable) {
        ui->pushButton->setStyleSheet(ArrowsActive);
        ui->pushButton_2->setStyleSheet(ArrowsActive);
    } else {
        ui->stackedWidgetMain->setCurrentIndex(OverviewPage);
        ui->pushButton->setStyleSheet(ArrowsInactive);
        ui->pushButton_2->setStyleSheet(ArrowsInactive);
    }
}

void MainWindow::on_pushButton_clicked()
{
    if (IsServiceMode && ui->stackedWidgetMain->currentIndex() > OverviewPage)
        ui->stackedWidgetMain->setCurrentIndex(ui->stackedWidgetMain->currentIndex() - 1);
}

void MainWindow::on_pushButton_2_clicked()
{
    if (IsServiceMode && ui->stackedWidgetMain->currentIndex() < LastPage)
        ui->stackedWidgetMain->setCurrentIndex(ui->stackedWidgetMain->currentIndex() + 1);
}

void MainWindow::on_pushButton_3_clicked()
{
    ServiceMode(ui->lineEdit->text() == AccessCode);
    ui->lineEdit->clear();
}

void MainWindow::on_stackedWidgetMain_currentChanged(int index)
{
    // The girdle analyser makes its diagnostic images only for the page that shows them (it
    // measures every frame regardless). The form switches pages before the components exist.
    if (GridleTraker)
        GridleTraker->SetImagesWanted(index == MarkingFrontPage);
    if (index == PanoramaPage) {
        showPendingTopStandardOverview();
        // The panorama was fitted to the label when the scan ended, while this page was hidden
        // and its label had no size of its own yet: fit it again to the label as shown.
        if (GridlePanoramaConstructor && !GridlePanoramaConstructor->getImage().empty())
            PanoramaReady();
    }
}
