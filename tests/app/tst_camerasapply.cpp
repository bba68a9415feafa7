// The operator's way back from a camera unplugged while the station runs: plug it in again,
// press "Apply" on the "Cameras" tab, and the camera delivers again without a restart.

#include "windowfixture.h"

#include "camera/cammf.h"
#include "camera/camtl.h"
#include "camera/camts.h"

#include <QComboBox>
#include <QTabWidget>

#include <array>
#include <atomic>

using windowtest::Station;

namespace {

enum Role { TL, MF, TS };

struct RoleInfo
{
    const char* name;
    const char* serial;
    const char* selector;
    const char* idKey;
    rig::View view;
};

const RoleInfo& info(int role)
{
    static const RoleInfo roles[] = {
        {"Top Large", rig::Rig::TopLargeSerial, "comboBoxCameraIDTL", "CAMTLID", rig::View::TopLarge},
        {"Marking Front", rig::Rig::FrontSerial, "comboBoxCameraIDMF", "CAMMFID", rig::View::Front},
        {"Top Standard", rig::Rig::TopStandardSerial, "comboBoxCameraIDTS", "CAMTSID", rig::View::TopStandard},
    };
    return roles[role];
}

int logCount(const QString& line) { return testsupport::logMessages().count(line); }

} // namespace

class TestCamerasApply : public QObject
{
    Q_OBJECT

    std::unique_ptr<Station> station;
    // Frames announced by each camera (Top Large, Marking Front, Top Standard), counted in the
    // camera's thread as they are emitted. Static, and counted by a slot that captures nothing:
    // a captured pointer would be written by connect() here and read in the camera thread with
    // only Qt's connection list in between, a hand-over inside the uninstrumented Qt library
    // that ThreadSanitizer reports as a race.
    static inline std::array<std::atomic<int>, 3> frames{};

    template <int role>
    static void countFrames(CameraAcquisition* camera)
    {
        frames[role] = 0;
        connect(camera, &CameraAcquisition::newcapture, camera, [] { ++frames[role]; }, Qt::DirectConnection);
    }
    void watchCameras()
    {
        countFrames<0>(CamTL::AccessMemory());
        countFrames<1>(CamMF::AccessMemory());
        countFrames<2>(CamTS::AccessMemory());
    }
    bool deliver(const QList<int>& roles, int count)
    {
        std::array<int, 3> from{};
        for (int role = 0; role < 3; ++role)
            from[role] = frames[role];
        return testsupport::eventually([&] {
            for (int role : roles)
                if (frames[role] < from[role] + count)
                    return false;
            return true;
        });
    }

private slots:
    void cleanup() { station.reset(); }

    void unpluggedCameraComesBackWithApply_data()
    {
        QTest::addColumn<int>("role");
        QTest::addColumn<int>("deviceId"); // when plugged back; 0: the same as before
        QTest::newRow("Top Large") << int(TL) << 0;
        QTest::newRow("Marking Front") << int(MF) << 0;
        QTest::newRow("Top Standard") << int(TS) << 0;
        QTest::newRow("Top Standard under a new device ID") << int(TS) << 8;
    }
    void unpluggedCameraComesBackWithApply()
    {
        QFETCH(int, role);
        QFETCH(int, deviceId);
        station.reset(new Station);
        QVERIFY(station->exposed);
        watchCameras();
        QList<int> others{TL, MF, TS};
        others.removeAll(role);
        QVERIFY(deliver({TL, MF, TS}, 2));

        QVERIFY(rig::Rig::instance().removeCamera(info(role).serial));
        const QString unread = QStringLiteral("Faild to get image memory Camera ") + info(role).serial + " alias '" + info(role).name
                               + "' Code Error 1";
        QVERIFY(testsupport::eventually([&] { return logCount(unread) >= 1; }));
        const int seen = frames[role];
        QVERIFY(deliver(others, 3));
        QCOMPARE(frames[role].load(), seen);
        QCOMPARE(logCount(unread), 1); // when it starts, not every pass

        rig::CameraSpec back = rig::Rig::defaultCamera(info(role).view);
        if (deviceId > 0)
            back.deviceId = deviceId;
        rig::Rig::instance().addCamera(back);
        station->goToPage(5);
        station->widget<QTabWidget>("tabWidgetSettings")->setCurrentIndex(0);
        // The selectors still show the binding made at start.
        QCOMPARE(station->widget<QComboBox>(info(role).selector)->currentText(), QString(info(role).serial));
        const QString opened = QString(info(role).name) + " Camera " + info(role).serial + " Initialized W[1280] H[1024]";
        const int openings = testsupport::logMessages().filter(opened).size();
        station->click("pushButtonRegisterCameras");

        QCOMPARE(testsupport::logMessages().filter(opened).size(), openings + 1);
        QVERIFY(deliver({TL, MF, TS}, 3));
        const int unreadAfter = logCount(unread);
        QVERIFY(deliver({role}, 3));
        QCOMPARE(logCount(unread), unreadAfter);
        const QStringList saved = QString::fromUtf8(station->settingsFile()).split('\n');
        QVERIFY(saved.contains(QString(info(role).idKey) + ":" + info(role).serial));
    }
};

QTEST_MAIN(TestCamerasApply)
#include "tst_camerasapply.moc"
