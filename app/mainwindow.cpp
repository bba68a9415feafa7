#include "mainwindow.h"

#include "ui_mainwindow.h"

#include "camera/cammf.h"
#include "camera/camtl.h"
#include "camera/camts.h"
#include "camera/camvsharedconfig.h"
#include "core/logs.h"
#include "core/registry.h"
#include "hostlink/veltraxserver.h"

#include <QIcon>
#include <QImage>
#include <QMetaType>

#include <opencv2/core.hpp>

Q_DECLARE_METATYPE(cv::Mat)

namespace {
const char* const AccessCode = "q7vbx#operate";
}

MainWindow::MainWindow(QWidget* parent)
    : QMainWindow(parent)
    , ui(new Ui::MainWindow)
{
    StoneDiameter = 0;
    ApplicationVersion = QStringLiteral("1.0.0.5");

    // Images travel between threads through queued connections.
    qRegisterMetaType<cv::Mat>("cv::Mat");
    qRegisterMetaType<cv::Mat>("cv::Mat&");
    qRegisterMetaType<QImage>("QImage");

    Q_INIT_RESOURCE(resources);
    ui->setupUi(this);
    setWindowTitle(windowTitle() + ApplicationVersion);
    ServiceMode(false);
    setWindowState(windowState() | Qt::WindowMaximized);

    logging = Logs::AccessMemory();
    AppRegistry = Registry::AccessMemory();
    Server = VeltraxServer::AccessMemory();
    SharedConf = CamVSharedConfig::AccessMemory();
    tlCamera = CamTL::AccessMemory();
    mfCamera = CamMF::AccessMemory();
    tsCamera = CamTS::AccessMemory();

    IncVal = 0.2;
}

MainWindow::~MainWindow()
{
    CamMF::Destroy();
    CamTS::Destroy();
    CamTL::Destroy();
    CamVSharedConfig::Destroy();
    VeltraxServer::Destroy();
    Registry::Destroy();
    Logs::Destroy();
    delete ui;
}

void MainWindow::ServiceMode(bool enable)
{
    IsServiceMode = enable;
    if (enable) {
        ui->pushButton->setStyleSheet(QStringLiteral("color: rgb(0, 255, 0);"));
        ui->pushButton_2->setStyleSheet(QStringLiteral("color: rgb(0, 255, 0);"));
    } else {
        ui->stackedWidgetMain->setCurrentIndex(0);
        ui->pushButton->setStyleSheet(QStringLiteral("color: rgb(255, 0, 0);"));
        ui->pushButton_2->setStyleSheet(QStringLiteral("color: rgb(255, 0, 0);"));
    }
}

void MainWindow::on_pushButton_clicked()
{
    if (IsServiceMode && ui->stackedWidgetMain->currentIndex() > 0)
        ui->stackedWidgetMain->setCurrentIndex(ui->stackedWidgetMain->currentIndex() - 1);
}

void MainWindow::on_pushButton_2_clicked()
{
    if (IsServiceMode && ui->stackedWidgetMain->currentIndex() < 5)
        ui->stackedWidgetMain->setCurrentIndex(ui->stackedWidgetMain->currentIndex() + 1);
}

void MainWindow::on_pushButton_3_clicked()
{
    ServiceMode(ui->lineEdit->text() == QLatin1String(AccessCode));
    ui->lineEdit->clear();
}
