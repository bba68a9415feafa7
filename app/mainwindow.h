#pragma once

#include <QMainWindow>
#include <QString>

namespace Ui {
class MainWindow;
}

class Logs;
class Registry;
class VeltraxServer;
class CamVSharedConfig;
class CamMF;
class CamTS;
class CamTL;

// The station's one window: builds the form, creates every component in its fixed order,
// wires their signals to the display slots and tears everything down in order when closed.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    void ServiceMode(bool enable);
    bool isServiceMode() const { return IsServiceMode; }
    Ui::MainWindow* form() const { return ui; }

private slots:
    void on_pushButton_clicked();
    void on_pushButton_2_clicked();
    void on_pushButton_3_clicked();

private:
    QString ApplicationVersion;
    Ui::MainWindow* ui = nullptr;
    Logs* logging = nullptr;
    Registry* AppRegistry = nullptr;
    VeltraxServer* Server = nullptr;
    CamVSharedConfig* SharedConf = nullptr;
    CamMF* mfCamera = nullptr;
    CamTS* tsCamera = nullptr;
    CamTL* tlCamera = nullptr;

    double IncVal = 0.2;
    double StoneDiameter = 0;
    bool IsServiceMode = false;
};
