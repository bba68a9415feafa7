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
// folder, acknowledged with "SIDONE", and a JPEG frame for the video connection. Both requests
// are pending from start-up, so the first frame is stored and streamed unasked.
//
// Threads: the request slots run in the main thread and only set the atomic flags; the camera
// thread serves them. Snapshot and stream retries are counted in the camera thread only.
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
    void VideoStreamWriter(QByteArray);
    // A requested snapshot is in the shared folder (emitted from the camera thread).
    void ImageSaved();

public slots:
    void RequestImageSaving();
    void RequestStream();

protected:
    void frameFinished(const cv::Mat& frame) override;

private:
    explicit CamMF(QObject* parent = nullptr);

    bool writeSnapshot(const cv::Mat& frame);
    // Encodes a frame as JPEG and emits VideoStreamWriter; false when nothing could be encoded.
    bool StreamWrite(cv::Mat frame);

    VeltraxServer* Streamer = nullptr;
    std::atomic<bool> SaveRequest{true};
    std::atomic<bool> StreamRequest{true};
    QString snapshotFolder;
    int snapshotFailures = 0;
    int streamFailures = 0;
};
