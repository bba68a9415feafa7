#pragma once

#include "camera/cameraacquisition.h"
#include "core/singleton.h"

#include <QByteArray>
#include <QString>

#include <atomic>

class VeltraxServer;

// The Marking Front camera: the girdle seen from the side. Raw Bayer data, demosaiced to
// B, G, R, not rotated. Besides the frames it serves two one-shot host requests, each with the
// first frame finished after the request: a PNG snapshot "Cam2Snapshot.png" in the shared
// folder, acknowledged with "SIDONE" (or "SIFAIL:STORAGE" when it cannot be stored), and a
// JPEG frame for the video connection. Both requests are pending from start-up, so the first
// frame is stored and streamed unasked.
//
// A request belongs to the host that sent it: its answer and its frame go to that host's data
// connection (the server's HostSession() number, learnt from CommandSession, which the server
// announces just before the request), and the server drops them once that host has left.
// Requests that come before the next frame collapse into one, which belongs to the latest
// requester (an earlier one has necessarily left, since one host is connected at a time).
//
// Threads: the request slots run in the main thread and only set the atomic requests; the
// camera thread takes them, requester included, in one exchange. commandSession belongs to
// the main thread. Snapshot and stream retries are counted in the camera thread only.
// snapshotFolder is set at construction and read-only afterwards.
class CamMF : public CameraAcquisition
{
    Q_OBJECT
    VELTRAX_SINGLETON_ACCESS(CamMF)

public:
    ~CamMF() override;

    // Sensor width (the girdle scan sizes its steps with it).
    int GetOriginalWidth();

    static const char* const SnapshotFileName; // "Cam2Snapshot.png"
    // A snapshot or stream frame that cannot be produced is tried again with this many frames
    // in all before the request is dropped.
    static const int RequestAttempts = 3;

signals:
    // One JPEG front frame (any listener); the server gets it with its requester through
    // VideoFrameForSession.
    void VideoStreamWriter(QByteArray);
    // A requested snapshot is in the shared folder (emitted from the camera thread).
    void ImageSaved();
    // The frame of VideoStreamWriter for the host that asked for it (0: the start-up frame).
    void VideoFrameForSession(quint64 session, QByteArray frame);

public slots:
    void RequestImageSaving();
    void RequestStream();
    // The host (data connection) whose commands the next requests come from.
    void NoteCommandSession(quint64 session);

protected:
    void frameFinished(const cv::Mat& frame) override;

private:
    explicit CamMF(QObject* parent = nullptr);

    // A pending request: NoRequest, or the requesting session + 1 (the start-up requests are
    // session 0's), so that the flag and its requester are one atomic value.
    static constexpr quint64 NoRequest = 0;
    static quint64 requestOf(quint64 session) { return session + 1; }
    static quint64 sessionOf(quint64 request) { return request - 1; }
    // A request that failed is tried again with the next frame, unless a newer one has come.
    static void retry(std::atomic<quint64>& pending, quint64 request);

    void serveSnapshot(const cv::Mat& frame, quint64 session);
    void serveStream(const cv::Mat& frame, quint64 session);
    bool writeSnapshot(const cv::Mat& frame);
    // Encodes a frame as JPEG and emits VideoStreamWriter and VideoFrameForSession; false when
    // nothing could be encoded.
    bool StreamWrite(cv::Mat frame, quint64 session = 0);

    VeltraxServer* Streamer = nullptr;
    std::atomic<quint64> SaveRequest{requestOf(0)};
    std::atomic<quint64> StreamRequest{requestOf(0)};
    quint64 commandSession = 0; // main thread: the host of the last command announced
    QString snapshotFolder;
    int snapshotFailures = 0;
    int streamFailures = 0;
};
