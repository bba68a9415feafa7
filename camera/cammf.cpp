#include "cammf.h"

#include "camera/sharedfolder.h"
#include "core/logs.h"
#include "hostlink/veltraxserver.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImage>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdio>
#include <exception>

namespace {
const CameraRole MFRole = {
    "Marking Front",
    settings::camera::MarkingFront,
    8,
    true,
    cv::COLOR_BayerRG2BGR,
    false,
    QThread::TimeCriticalPriority,
    false,
};
} // namespace

const char* const CamMF::SnapshotFileName = "Cam2Snapshot.png";

CamMF::CamMF(QObject* parent)
    : CameraAcquisition(MFRole, parent)
{
    try {
        // The station creates the server before the cameras; a camera never creates one.
        Streamer = VeltraxServer::Existing();
        SaveRequest = true;
        StreamRequest = true;
        if (Streamer) {
            connect(Streamer, SIGNAL(SavingImageRequest()), this, SLOT(RequestImageSaving()));
            connect(Streamer, SIGNAL(StramRequest()), this, SLOT(RequestStream()));
            connect(this, SIGNAL(VideoStreamWriter(QByteArray)), Streamer, SLOT(FluxWrite(QByteArray)));
        } else {
            logging->udebug(QStringLiteral("Marking Front Camera: no host server, snapshots are not acknowledged"));
        }
        snapshotFolder = SharedFolderPath();
    } catch (const std::exception& e) {
        logging->udebug(QStringLiteral("Error While Loading Marking Front Camera ") + QString::fromLocal8Bit(e.what()));
    }
    startUp();
}

CamMF::~CamMF()
{
    shutDown();
    logging->udebug(QStringLiteral("Marking Front Camera Destruction"));
}

int CamMF::GetOriginalWidth() { return maxWidth(); }

void CamMF::RequestImageSaving() { SaveRequest = true; }

void CamMF::RequestStream() { StreamRequest = true; }

void CamMF::frameFinished(const cv::Mat& frame)
{
    if (SaveRequest.exchange(false)) {
        if (writeSnapshot(frame)) {
            snapshotFailures = 0;
            if (Streamer)
                Streamer->ValidateImageSavingRequest();
            emit ImageSaved();
        } else if (++snapshotFailures < RequestAttempts) {
            SaveRequest = true;
        } else {
            snapshotFailures = 0;
            logging->udebug(QStringLiteral("Front snapshot request dropped after ") + QString::number(RequestAttempts)
                            + QStringLiteral(" failed writes, no acknowledgement sent"));
        }
    }
    if (StreamRequest.exchange(false)) {
        if (StreamWrite(frame)) {
            streamFailures = 0;
        } else if (++streamFailures < RequestAttempts) {
            StreamRequest = true;
        } else {
            streamFailures = 0;
            logging->udebug(QStringLiteral("Stream frame request dropped after ") + QString::number(RequestAttempts)
                            + QStringLiteral(" failed encodings"));
        }
    }
}

bool CamMF::writeSnapshot(const cv::Mat& frame)
{
    const QString path = QDir(snapshotFolder).filePath(QString::fromLatin1(SnapshotFileName));
    if (!EnsureFolder(snapshotFolder)) {
        logging->udebug(QStringLiteral("Front snapshot can not be written to ") + path);
        return false;
    }
    // Written beside the target and renamed over it, so the host never reads half a file.
    const QString partial = QDir(snapshotFolder).filePath(QStringLiteral(".Cam2Snapshot.partial.png"));
    bool written = false;
    try {
        written = cv::imwrite(QFile::encodeName(partial).toStdString(), frame);
    } catch (const std::exception& e) {
        logging->udebug(QStringLiteral("Front snapshot encoding failed: ") + QString::fromLocal8Bit(e.what()));
    }
    if (written && std::rename(QFile::encodeName(partial).constData(), QFile::encodeName(path).constData()) == 0)
        return true;
    QFile::remove(partial);
    logging->udebug(QStringLiteral("Front snapshot can not be written to ") + path);
    return false;
}

bool CamMF::StreamWrite(cv::Mat frame)
{
    if (frame.empty() || frame.type() != CV_8UC3)
        return false;
    // Frames hold B, G, R; the JPEG is encoded from R, G, B so the host sees true colours.
    const QImage view(frame.data, frame.cols, frame.rows, static_cast<int>(frame.step), QImage::Format_RGB888);
    const QImage rgb = view.rgbSwapped();
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    if (!rgb.save(&buffer, "JPEG", -1) || bytes.isEmpty()) {
        logging->udebug(QStringLiteral("Stream frame could not be encoded as JPEG on Camera ") + cameraRef() + alias());
        return false;
    }
    emit VideoStreamWriter(bytes);
    return true;
}
