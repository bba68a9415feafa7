// Camera SDK faults injected through the rig, one camera at a time while the other two run:
// the line the log gets, the state the failing camera is left in, the other cameras still
// delivering, and the camera back in service once it is bound again the way "Apply" does it.

#include "camerafixture.h"
#include "queuedsignalspy.h"

#include <QtTest>

#include <algorithm>
#include <array>
#include <atomic>
#include <functional>

using rig::Rig;

namespace {

enum Role { TL, MF, TS };
const Role AllRoles[] = {TL, MF, TS};

struct RoleInfo
{
    const char* tag;
    const char* name;
    const char* serial;
    const char* keyPrefix; // settings keys: CAMTL, CAMMF, CAMTS
    int bitsPerPixel;
    bool rawSensor;
    rig::View view;
};

const RoleInfo& info(Role role)
{
    static const RoleInfo roles[] = {
        {"TL", "Top Large", Rig::TopLargeSerial, "CAMTL", 8, true, rig::View::TopLarge},
        {"MF", "Marking Front", Rig::FrontSerial, "CAMMF", 8, true, rig::View::Front},
        {"TS", "Top Standard", Rig::TopStandardSerial, "CAMTS", 24, false, rig::View::TopStandard},
    };
    return roles[role];
}

QString onCamera(Role role)
{
    return QStringLiteral(" Camera ") + info(role).serial + QStringLiteral(" alias '") + info(role).name + QStringLiteral("'");
}

QString openFailure(Role role, const QString& what, int status)
{
    return QStringLiteral("Open camera ") + info(role).serial + QStringLiteral(" alias '") + info(role).name
           + QStringLiteral("': Failed to ") + what + QStringLiteral(" CODE ") + QString::number(status);
}

QString initialisedLine(Role role)
{
    return QString::fromLatin1(info(role).name) + QStringLiteral(" Camera ") + info(role).serial
           + QStringLiteral(" Initialized W[1280] H[1024] CM[2] BP[") + QString::number(info(role).bitsPerPixel) + QStringLiteral("]");
}

// The area every camera is set to at opening, so a refused one shows in the frame size.
const QRect StoredArea(64, 32, 640, 480);

cv::Size frameSize(Role role, const QSize& area)
{
    // Top Large frames are the cut turned a quarter clockwise.
    return role == TL ? cv::Size(area.height(), area.width()) : cv::Size(area.width(), area.height());
}

int logCount(const QString& line) { return testsupport::logMessages().count(line); }

QString logTail()
{
    const QStringList log = testsupport::logMessages();
    return log.mid(std::max(0, log.size() - 40)).join('\n');
}

// A call of the camera table made to fail, or a camera whose answer the station refuses.
struct Fault
{
    QString call;    // rig call name; empty when the fault is set up through the sheet or settings
    int status = 0;
    QString message; // the exact log line
    bool opens = false;
    int times = 1;
    // Calls made once the handle is closed can not be told apart by camera in the rig; their
    // rule names no serial (only the camera being bound again makes them).
    bool anyCamera = false;
};

} // namespace

Q_DECLARE_METATYPE(Role)

class TestCameraFaults : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<camerafixture::Session> work;
    // Frames announced by each camera. Static, and counted by a slot that captures nothing: a
    // captured pointer would be written by connect() here and read in the camera thread with
    // only Qt's connection list in between, a hand-over inside the uninstrumented Qt library
    // that ThreadSanitizer reports as a race.
    static inline std::array<std::atomic<int>, 3> frames{};
    std::array<CameraAcquisition*, 3> cameras{};

    // The three cameras bound to the rig and opened in the window's order, each announced
    // frame counted as it is emitted in the camera's thread.
    void startStation()
    {
        camerafixture::bindRigCameras(work->file("share"));
        Registry* settings = Registry::AccessMemory();
        for (Role role : AllRoles) {
            const QString prefix = info(role).keyPrefix;
            settings->SetKey(prefix + "AOIX", QString::number(StoredArea.x()));
            settings->SetKey(prefix + "AOIY", QString::number(StoredArea.y()));
            settings->SetKey(prefix + "AOIW", QString::number(StoredArea.width()));
            settings->SetKey(prefix + "AOIH", QString::number(StoredArea.height()));
        }
        CamVSharedConfig::AccessMemory();
        watch<TL>(CamTL::AccessMemory());
        watch<MF>(CamMF::AccessMemory());
        watch<TS>(CamTS::AccessMemory());
    }
    template <Role role>
    void watch(CameraAcquisition* camera)
    {
        cameras[role] = camera;
        connect(camera, &CameraAcquisition::newcapture, camera, [] { ++frames[role]; }, Qt::DirectConnection);
    }

    // Waits until every camera in `roles` has announced `count` more frames.
    bool deliver(std::initializer_list<Role> roles, int count, int timeoutMs = 60000)
    {
        std::array<int, 3> from{};
        for (Role role : AllRoles)
            from[role] = frames[role];
        return testsupport::eventually(
            [&] {
                for (Role role : roles)
                    if (frames[role] < from[role] + count)
                        return false;
                return true;
            },
            timeoutMs);
    }
    bool othersDeliver(Role failing, int count)
    {
        const Role a = failing == TL ? MF : TL;
        const Role b = failing == TS ? MF : TS;
        return deliver({a, b}, count);
    }

    // What "Apply" does: each role bound again (front, top large, top standard), then saved.
    void apply()
    {
        CamMF::AccessMemory()->RegisterCam(Rig::FrontSerial);
        CamTL::AccessMemory()->RegisterCam(Rig::TopLargeSerial);
        CamTS::AccessMemory()->RegisterCam(Rig::TopStandardSerial);
        Registry::AccessMemory()->SaveReg();
    }

    // One row a camera, tagged TL, MF, TS.
    static void addRoleRows()
    {
        QTest::addColumn<Role>("role");
        for (Role role : AllRoles)
            QTest::addRow("%s", info(role).tag) << role;
    }
    static void addOpeningRows(Role role, const std::function<void(const QString&, const Fault&, const QString&)>& row)
    {
        // Steps whose failure ends the opening: the camera stays closed until bound again.
        const struct
        {
            const char* call;
            const char* what;
            int status;
            bool rawOnly;
        } ending[] = {
            {"is_InitCamera", "InitCamera", IS_CANT_OPEN_DEVICE, false},
            {"is_GetCameraInfo", "GetCameraInfo", IS_IO_REQUEST_FAILED, false},
            {"is_GetSensorInfo", "GetSensorInfo", IS_IO_REQUEST_FAILED, false},
            {"is_AllocImageMem", "AllocImageMem", IS_OUT_OF_MEMORY, false},
            {"is_SetImageMem", "SetImageMem", IS_INVALID_MEMORY_POINTER, false},
            {"is_SetImageSize", "SetImageSize", IS_INVALID_PARAMETER, false},
            {"is_SetColorConverter", "SetColorConverter", IS_NOT_SUPPORTED, true},
            {"is_CaptureVideo", "CaptureVideo", IS_NO_SUCCESS, false},
        };
        for (const auto& step : ending) {
            if (step.rawOnly && !info(role).rawSensor)
                continue;
            row(step.call, Fault{step.call, step.status, openFailure(role, step.what, step.status), false}, QString());
        }
        // Steps whose failure is only logged: the camera opens and delivers.
        const QString area = QStringLiteral("AOI X64 Y32 W640 H480 EW704/1280 EH512/1024 Failed on");
        if (info(role).rawSensor) {
            row("is_SetColorMode",
                Fault{"is_SetColorMode", IS_NOT_SUPPORTED, "Setting Color Mode Failed on" + onCamera(role) + " CODE:155", true},
                QString());
            row("is_PixelClock range",
                Fault{"is_PixelClock", IS_IO_REQUEST_FAILED, "Get Pixel Clock Failed on" + onCamera(role) + " CODE:2", true},
                QString());
            // Three cameras share 86 MHz: 28 each, below this camera's floor.
            row("is_PixelClock set, share below the camera's floor",
                Fault{QString(), 0, "Setting Pixel Clock28 Failed on" + onCamera(role) + " CODE:125", true}, "clockFloor");
        }
        row("is_SetAutoParameter",
            Fault{"is_SetAutoParameter", IS_NOT_SUPPORTED, "Failed to enable AGC on" + onCamera(role) + " CODE 155", true}, QString());
        row("is_AOI", Fault{"is_AOI", IS_IO_REQUEST_FAILED, area + onCamera(role) + " CODE:2", true}, QString());
        row("is_Exposure range",
            Fault{"is_Exposure", IS_IO_REQUEST_FAILED, "Get exposure range Failed on" + onCamera(role) + " CODE:2", true}, QString());
        row("is_Exposure set, stored exposure out of range",
            Fault{QString(), 0, "Setting exposure time 150 Failed on" + onCamera(role) + " CODE:125", true}, "exposure150");
    }

    // Faults that do not go through a failure rule: a sheet or a stored setting the camera refuses.
    void arrange(Role role, const QString& setup)
    {
        if (setup == "clockFloor") {
            rig::CameraSpec sheet = Rig::defaultCamera(info(role).view);
            sheet.pixelClockMin = 30;
            Rig::instance().updateCamera(sheet);
        } else if (setup == "exposure150") {
            Registry::AccessMemory()->SetKey(QString(info(role).keyPrefix) + "EXPT", "150");
            if (cameras[role])
                cameras[role]->LoadParams();
        }
    }
    // The operator's remedy: the rule gone, the sheet back, the exposure slider moved.
    bool repair(Role role, const QString& setup)
    {
        Rig::instance().clearFailures();
        if (setup == "clockFloor")
            return Rig::instance().updateCamera(Rig::defaultCamera(info(role).view));
        if (setup == "exposure150")
            return cameras[role]->SetExposureTime(50);
        return true;
    }

private slots:
    void init()
    {
        work.reset(new camerafixture::Session);
        for (auto& count : frames)
            count = 0;
        cameras.fill(nullptr);
    }
    void cleanup() { work.reset(); }

    void failureWhileOpening_data()
    {
        QTest::addColumn<Role>("role");
        QTest::addColumn<QString>("call");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("message");
        QTest::addColumn<bool>("opens");
        QTest::addColumn<QString>("setup");
        for (Role role : AllRoles) {
            addOpeningRows(role, [role](const QString& tag, const Fault& fault, const QString& setup) {
                QTest::addRow("%s %s", info(role).tag, qPrintable(tag))
                    << role << fault.call << fault.status << fault.message << fault.opens << setup;
            });
        }
    }
    void failureWhileOpening()
    {
        QFETCH(Role, role);
        QFETCH(QString, call);
        QFETCH(int, status);
        QFETCH(QString, message);
        QFETCH(bool, opens);
        QFETCH(QString, setup);
        if (!call.isEmpty())
            Rig::instance().failCall(call.toStdString(), status, 1, info(role).serial);
        arrange(role, setup);
        startStation();
        CameraAcquisition* camera = cameras[role];

        QVERIFY2(logCount(message) == 1, qPrintable(logTail()));
        QVERIFY2(camerafixture::logHasInOrder({QStringLiteral("Loading ") + info(role).name + " Camera...", message,
                                               QString(info(role).name) + " Camera imported successfully"}),
                 qPrintable(logTail()));
        QVERIFY(othersDeliver(role, 3));
        if (opens) {
            QVERIFY(deliver({role}, 3));
            const QSize area = call == "is_AOI" ? QSize(1280, 1024) : StoredArea.size();
            QCOMPARE(camera->getImage().size(), frameSize(role, area));
        } else {
            // Closed: no frame while the others made theirs; only the Top Large thread idles.
            QCOMPARE(frames[role].load(), 0);
            QVERIFY(camera->getImage().empty());
            QCOMPARE(camera->isRunning(), role == TL);
            QCOMPARE(Rig::instance().state(info(role).serial).capturing, false);
        }

        QVERIFY(repair(role, setup));
        camera->RegisterCam(info(role).serial);
        QVERIFY2(deliver({role}, 3), qPrintable(logTail()));
        QCOMPARE(camera->getImage().size(), frameSize(role, StoredArea.size()));
        QCOMPARE(logCount(message), 1);
        QVERIFY(othersDeliver(role, 2));
    }

    void failureWhileReopening_data()
    {
        QTest::addColumn<Role>("role");
        QTest::addColumn<QString>("call");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("message");
        QTest::addColumn<bool>("opens");
        QTest::addColumn<QString>("setup");
        QTest::addColumn<int>("times");
        QTest::addColumn<bool>("anyCamera");
        for (Role role : AllRoles) {
            const auto add = [role](const QString& tag, const Fault& fault, const QString& setup) {
                QTest::addRow("%s %s", info(role).tag, qPrintable(tag)) << role << fault.call << fault.status << fault.message
                                                                        << fault.opens << setup << fault.times << fault.anyCamera;
            };
            // Closing a running camera: statuses not reported, except a refused exit, which
            // would keep the camera from opening again and is tried once more.
            add("is_StopLiveVideo", Fault{"is_StopLiveVideo", IS_IO_REQUEST_FAILED, QString(), true}, QString());
            add("is_ExitCamera", Fault{"is_ExitCamera", IS_IO_REQUEST_FAILED, "Exit camera Failed on" + onCamera(role) + " CODE:2", true},
                QString());
            Fault held{"is_ExitCamera", IS_IO_REQUEST_FAILED,
                       QStringLiteral("Open camera ") + info(role).serial + " alias '" + info(role).name + "': previous camera not closed",
                       false};
            held.times = 2;
            add("is_ExitCamera refused twice", held, QString());
            Fault freeing{"is_FreeImageMem", IS_INVALID_MEMORY_POINTER, QString(), true};
            freeing.anyCamera = true;
            add("is_FreeImageMem", freeing, QString());
            Fault standby{"is_CameraStatus", IS_IO_REQUEST_FAILED, QString(), true};
            standby.anyCamera = true;
            add("is_CameraStatus", standby, QString());
            addOpeningRows(role, add);
        }
    }
    // The camera runs, then is bound again (as "Apply" does) while one of its calls fails.
    void failureWhileReopening()
    {
        QFETCH(Role, role);
        QFETCH(QString, call);
        QFETCH(int, status);
        QFETCH(QString, message);
        QFETCH(bool, opens);
        QFETCH(QString, setup);
        QFETCH(int, times);
        QFETCH(bool, anyCamera);
        startStation();
        CameraAcquisition* camera = cameras[role];
        QVERIFY(deliver({TL, MF, TS}, 2));
        const int openedBefore = logCount(initialisedLine(role));

        if (!call.isEmpty())
            Rig::instance().failCall(call.toStdString(), status, times, anyCamera ? std::string() : info(role).serial);
        arrange(role, setup);
        Rig::instance().clearCalls();
        camera->RegisterCam(info(role).serial);
        if (!call.isEmpty()) {
            // The rule was used up by this camera's calls.
            bool refused = false;
            for (const rig::CallRecord& made : Rig::instance().calls(call.toStdString()))
                refused = refused || made.status == status;
            QVERIFY(refused);
        }
        if (!message.isEmpty())
            QVERIFY2(logCount(message) == 1, qPrintable(logTail()));
        QVERIFY(othersDeliver(role, 3));
        if (opens) {
            QVERIFY2(deliver({role}, 3), qPrintable(logTail()));
            QCOMPARE(logCount(initialisedLine(role)), openedBefore + 1);
            const QSize area = call == "is_AOI" ? QSize(1280, 1024) : StoredArea.size();
            QCOMPARE(camera->getImage().size(), frameSize(role, area));
        } else {
            // Closed: the last frame made stays available and nothing new comes.
            const int seen = frames[role];
            const cv::Mat kept = camera->getImage();
            QVERIFY(!kept.empty());
            QVERIFY(othersDeliver(role, 3));
            QCOMPARE(frames[role].load(), seen);
            QCOMPARE(camera->getImage().data, kept.data);
            QCOMPARE(camera->isRunning(), role == TL);
        }

        QVERIFY(repair(role, setup));
        camera->RegisterCam(info(role).serial);
        QVERIFY2(deliver({role}, 3), qPrintable(logTail()));
        QCOMPARE(camera->getImage().size(), frameSize(role, StoredArea.size()));
        QVERIFY(othersDeliver(role, 2));
    }

    void failureWhileSampling_data()
    {
        QTest::addColumn<Role>("role");
        QTest::addColumn<QString>("call");
        QTest::addColumn<int>("status");
        for (Role role : AllRoles) {
            QTest::addRow("%s is_InquireImageMem", info(role).tag) << role << "is_InquireImageMem" << IS_IO_REQUEST_FAILED;
            QTest::addRow("%s is_GetFrameTimeRange", info(role).tag) << role << "is_GetFrameTimeRange" << IS_IO_REQUEST_FAILED;
        }
    }
    // A call of the sampling pass fails pass after pass, then answers again.
    void failureWhileSampling()
    {
        QFETCH(Role, role);
        QFETCH(QString, call);
        QFETCH(int, status);
        startStation();
        CameraAcquisition* camera = cameras[role];
        QVERIFY(deliver({TL, MF, TS}, 3));
        const double pace = camera->getFPS();
        QVERIFY(pace > 10.0);

        Rig::instance().failCall(call.toStdString(), status, 1 << 30, info(role).serial);
        QString ended;
        if (call == "is_InquireImageMem") {
            // No frame and no signal while the memory cannot be read; said once, not every pass.
            const QString line = "Faild to get image memory" + onCamera(role) + " Code Error " + QString::number(status);
            QVERIFY2(testsupport::eventually([&] { return logCount(line) >= 1; }), qPrintable(logTail()));
            const int seen = frames[role];
            const int calls = Rig::instance().callCount("is_InquireImageMem", info(role).serial);
            QVERIFY(othersDeliver(role, 3));
            QVERIFY(testsupport::eventually(
                [&] { return Rig::instance().callCount("is_InquireImageMem", info(role).serial) >= calls + 5; }));
            QCOMPARE(logCount(line), 1);
            QCOMPARE(frames[role].load(), seen);
            QVERIFY(!camera->getImage().empty());
            ended = "^Get image memory failure on" + onCamera(role) + " over after [0-9]+ failed passes$";
        } else {
            // The pace stays what it was; the failure is logged once, not every pass.
            const QString line = "Get frame time range Failed on" + onCamera(role) + " CODE:" + QString::number(status);
            QVERIFY(deliver({TL, MF, TS}, 5));
            QCOMPARE(logCount(line), 1);
            QCOMPARE(camera->getFPS(), pace);
        }

        // The loop keeps trying: frames come back without anyone binding the camera again.
        Rig::instance().clearFailures();
        QVERIFY2(deliver({role}, 3), qPrintable(logTail()));
        if (!ended.isEmpty())
            QCOMPARE(testsupport::logMessages().filter(QRegularExpression(ended)).size(), 1);
        QVERIFY(othersDeliver(role, 2));
        camera->RegisterCam(info(role).serial);
        QVERIFY(deliver({TL, MF, TS}, 3));
    }

    void settingRefusedWhileRunning_data()
    {
        QTest::addColumn<Role>("role");
        QTest::addColumn<QString>("call");
        QTest::addColumn<QString>("message");
        for (Role role : AllRoles) {
            QTest::addRow("%s is_AOI", info(role).tag)
                << role << "is_AOI" << "AOI X0 Y0 W1280 H1024 EW1280/1280 EH1024/1024 Failed on" + onCamera(role) + " CODE:2";
            QTest::addRow("%s is_SetSubSampling", info(role).tag)
                << role << "is_SetSubSampling" << "Sub sampling 2X (0X Disabling) Failed on" + onCamera(role) + " CODE H:2  V:0";
            QTest::addRow("%s is_Exposure", info(role).tag)
                << role << "is_Exposure" << "Get exposure range Failed on" + onCamera(role) + " CODE:2";
        }
    }
    // The window changes a setting of a running camera and the camera refuses it.
    void settingRefusedWhileRunning()
    {
        QFETCH(Role, role);
        QFETCH(QString, call);
        QFETCH(QString, message);
        startStation();
        CameraAcquisition* camera = cameras[role];
        QVERIFY(deliver({TL, MF, TS}, 2));
        const rig::CameraState before = Rig::instance().state(info(role).serial);

        Rig::instance().failCall(call.toStdString(), IS_IO_REQUEST_FAILED, 1, info(role).serial);
        bool done = true;
        if (call == "is_AOI")
            done = camera->ResetAoi();
        else if (call == "is_SetSubSampling")
            done = camera->SubSampling(2);
        else
            done = camera->SetExposureTime(80);
        QVERIFY(!done);
        QVERIFY2(logCount(message) == 1, qPrintable(logTail()));

        // Previous settings kept; the camera goes on delivering frames of the same area.
        const rig::CameraState after = Rig::instance().state(info(role).serial);
        QCOMPARE(after.aoi, before.aoi);
        QCOMPARE(after.exposureMs, before.exposureMs);
        QCOMPARE(camera->GetWidth(), StoredArea.width());
        QCOMPARE(QList<int>({camera->DefaultAOIW, camera->DefaultAOIH, camera->DefaultExposureTime}),
                 QList<int>({StoredArea.width(), StoredArea.height(), 50}));
        QVERIFY(deliver({TL, MF, TS}, 3));
        QCOMPARE(camera->getImage().size(), frameSize(role, StoredArea.size()));
    }

    void exitRefusedAtShutdown_data() { addRoleRows(); }
    // The SDK refuses to let go of a camera while the station closes it: logged, no hang.
    void exitRefusedAtShutdown()
    {
        QFETCH(Role, role);
        startStation();
        QVERIFY(deliver({TL, MF, TS}, 2));
        Rig::instance().failCall("is_ExitCamera", IS_IO_REQUEST_FAILED, 1 << 30, info(role).serial);
        if (role == TL)
            CamTL::Destroy();
        else if (role == MF)
            CamMF::Destroy();
        else
            CamTS::Destroy();
        cameras[role] = nullptr;
        const QString refused = "Exit camera Failed on" + onCamera(role) + " CODE:2";
        QVERIFY2(camerafixture::logHasInOrder({refused, QString(info(role).name) + " Camera Destruction"}), qPrintable(logTail()));
        QVERIFY(othersDeliver(role, 3));
    }

    // The role is bound to another camera while the SDK keeps refusing to let go of the old
    // one: every refusal names the camera that is held, not the one asked for.
    void refusedExitNamesTheHeldCamera()
    {
        startStation();
        QVERIFY(deliver({TL, MF, TS}, 2));
        Rig::instance().failCall("is_ExitCamera", IS_IO_REQUEST_FAILED, 1 << 30, info(MF).serial);
        cameras[MF]->RegisterCam(QStringLiteral("4103117799"));
        const QString refused = "Exit camera Failed on" + onCamera(MF) + " CODE:2";
        QVERIFY2(logCount(refused) == 2, qPrintable(logTail())); // at the unbinding and before the opening
        QCOMPARE(logCount(QString("Open camera 4103117799 alias '") + info(MF).name + "': previous camera not closed"), 1);
        QVERIFY(othersDeliver(MF, 3));
        Rig::instance().clearFailures();
    }

    void frozenCameraIsReportedOnce_data()
    {
        QTest::addColumn<Role>("role");
        QTest::addColumn<bool>("stall");
        QTest::addRow("TL frozen") << TL << false;
        QTest::addRow("MF frozen") << MF << false;
        QTest::addRow("TS transfer stalled") << TS << true;
    }
    // A camera that answers every call but delivers no new frame: no frame announced, one line
    // when it starts and one when it ends, the state shown through frozenChanged().
    void frozenCameraIsReportedOnce()
    {
        QFETCH(Role, role);
        QFETCH(bool, stall);
        startStation();
        CameraAcquisition* camera = cameras[role];
        QVERIFY(deliver({TL, MF, TS}, 2));
        testsupport::QueuedSignalSpy changes(camera, &CameraAcquisition::frozenChanged);
        if (stall)
            QVERIFY(Rig::instance().stallTransfer(info(role).serial, 3.0));
        else
            QVERIFY(Rig::instance().freezeCamera(info(role).serial, true));
        const QRegularExpression frozen("^Camera " + QString(info(role).serial) + " alias '" + info(role).name
                                        + "' frozen: no new frame for [0-9]+ ms, last frame [0-9]+$");
        QVERIFY2(testsupport::eventually([&] { return testsupport::logMessages().filter(frozen).size() == 1; }), qPrintable(logTail()));
        QVERIFY(camera->isFrozen());
        const int seen = frames[role];
        QVERIFY(othersDeliver(role, 5));
        QCOMPARE(frames[role].load(), seen);
        QCOMPARE(testsupport::logMessages().filter(frozen).size(), 1);

        if (!stall)
            Rig::instance().freezeCamera(info(role).serial, false);
        QVERIFY(deliver({role}, 3));
        QVERIFY(!camera->isFrozen());
        const QRegularExpression again("^Camera " + QString(info(role).serial) + " alias '" + info(role).name
                                       + "' delivers new frames again after [0-9]+ ms$");
        QCOMPARE(testsupport::logMessages().filter(again).size(), 1);
        QVERIFY(changes.waitForCount(2, 20000));
        QCOMPARE(changes.count(), 2);
        QCOMPARE(changes.at(0).at(0).toBool(), true);
        QCOMPARE(changes.at(1).at(0).toBool(), false);
    }

    void unpluggedWhileRunningComesBackWithApply_data()
    {
        QTest::addColumn<Role>("role");
        QTest::addColumn<int>("deviceId"); // when plugged back; 0: the same as before
        for (Role role : AllRoles)
            QTest::addRow("%s", info(role).tag) << role << 0;
        QTest::addRow("MF under a new device ID") << MF << 9;
        QTest::addRow("TL under a new device ID") << TL << 12;
    }
    void unpluggedWhileRunningComesBackWithApply()
    {
        QFETCH(Role, role);
        QFETCH(int, deviceId);
        startStation();
        CameraAcquisition* camera = cameras[role];
        QVERIFY(deliver({TL, MF, TS}, 2));

        QVERIFY(Rig::instance().removeCamera(info(role).serial));
        const QString line = "Faild to get image memory" + onCamera(role) + " Code Error " + QString::number(IS_INVALID_CAMERA_HANDLE);
        QVERIFY2(testsupport::eventually([&] { return logCount(line) >= 1; }), qPrintable(logTail()));
        const int seen = frames[role];
        QVERIFY(othersDeliver(role, 3));

        // "Apply" before the camera is back: it can not be opened, the others reopen.
        apply();
        QVERIFY2(logCount(openFailure(role, "InitCamera", IS_CANT_OPEN_DEVICE)) + logCount("Camera " + QString(info(role).serial) + " alias '" + info(role).name + "' not found") == 1, qPrintable(logTail()));
        QCOMPARE(logCount(line), 1); // the unplugged camera's failure, once, not every pass
        QVERIFY(othersDeliver(role, 3));
        QCOMPARE(frames[role].load(), seen);

        // Plugged back in: nothing happens by itself until the next "Apply".
        rig::CameraSpec back = Rig::defaultCamera(info(role).view);
        if (deviceId > 0)
            back.deviceId = deviceId;
        Rig::instance().addCamera(back);
        QVERIFY(othersDeliver(role, 3));
        QCOMPARE(frames[role].load(), seen);

        const int opened = logCount(initialisedLine(role));
        apply();
        QCOMPARE(logCount(initialisedLine(role)), opened + 1);
        QVERIFY2(deliver({TL, MF, TS}, 3), qPrintable(logTail()));
        QCOMPARE(camera->getImage().size(), frameSize(role, StoredArea.size()));
        const QStringList saved = QString::fromUtf8(testsupport::readAll(work->file("Registry.dat"))).split('\n');
        QVERIFY(saved.contains(QString(info(role).keyPrefix) + "ID:" + info(role).serial));
        // Once reopened, the memory reads again: no more failures logged.
        const int after = logCount(line);
        QVERIFY(deliver({role}, 3));
        QCOMPARE(logCount(line), after);
    }
};

QTEST_GUILESS_MAIN(TestCameraFaults)
#include "tst_camerafaults.moc"
