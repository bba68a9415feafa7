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
        SaveRequest = requestOf(0);
        StreamRequest = requestOf(0);
        if (Streamer) {
            // Queued from the server thread, in the order the server emits them: the session of
            // a command reaches NoteCommandSession before the command's request reaches its slot.
            connect(Streamer, SIGNAL(CommandSession(quint64)), this, SLOT(NoteCommandSession(quint64)));
            connect(Streamer, SIGNAL(SavingImageRequest()), this, SLOT(RequestImageSaving()));
            connect(Streamer, SIGNAL(StramRequest()), this, SLOT(RequestStream()));
            connect(this, SIGNAL(VideoFrameForSession(quint64, QByteArray)), Streamer,
                    SLOT(FluxWriteToSession(quint64, QByteArray)));
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

void CamMF::NoteCommandSession(quint64 session) { commandSession = session; }

void CamMF::RequestImageSaving() { SaveRequest = requestOf(commandSession); }

void CamMF::RequestStream() { StreamRequest = requestOf(commandSession); }

void CamMF::retry(std::atomic<quint64>& pending, quint64 request)
{
    quint64 none = NoRequest;
    pending.compare_exchange_strong(none, request);
}

void CamMF::frameFinished(const cv::Mat& frame)
{
    const quint64 snapshot = SaveRequest.exchange(NoRequest);
    if (snapshot != NoRequest)
        serveSnapshot(frame, sessionOf(snapshot));
    const quint64 stream = StreamRequest.exchange(NoRequest);
    if (stream != NoRequest)
        serveStream(frame, sessionOf(stream));
}

void CamMF::serveSnapshot(const cv::Mat& frame, quint64 session)
{
    if (writeSnapshot(frame)) {
        snapshotFailures = 0;
        if (Streamer)
            Streamer->ValidateImageSavingRequest(session);
        emit ImageSaved();
    } else if (++snapshotFailures < RequestAttempts) {
        retry(SaveRequest, requestOf(session));
    } else {
        // The host is told, rather than left waiting for an answer that will not come.
        snapshotFailures = 0;
        logging->udebug(QStringLiteral("Front snapshot not stored after ") + QString::number(RequestAttempts)
                        + QStringLiteral(" failed writes: SIFAIL:STORAGE sent"));
        if (Streamer)
            Streamer->ReportImageSavingFailure(session);
    }
}

void CamMF::serveStream(const cv::Mat& frame, quint64 session)
{
    if (StreamWrite(frame, session)) {
        streamFailures = 0;
    } else if (++streamFailures < RequestAttempts) {
        retry(StreamRequest, requestOf(session));
    } else {
        streamFailures = 0;
        logging->udebug(QStringLiteral("Stream frame request dropped after ") + QString::number(RequestAttempts)
                        + QStringLiteral(" failed encodings"));
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

bool CamMF::StreamWrite(cv::Mat frame, quint64 session)
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
    emit VideoFrameForSession(session, bytes);
    return true;
}
