#pragma once
// While streaming, the newest picture of the stream as a JPEG on the user's
// website, beside the page: for viewers who cannot reach the stream itself.
//
// The uploader watches the writer's picture tap and keeps only the newest
// picture. Its own thread uploads it every interval (the first as soon as
// a picture is there): encoded as JPEG, stored under a temporary remote
// name and renamed over the final one (PublishFile), with the page's FTP
// settings and security. A failed upload is reported and simply tried again
// at the next interval with the picture of that moment: nothing queues up.
//
// Threads. Start, Stop and the destructor on the window's thread, and
// none of them waits for the server: Stop leaves an upload in progress to
// end on its own (each wait on the server is bounded) and report nothing,
// and a Start right after it runs beside that upload instead of waiting
// for it. Only the destructor joins. Reports reach the context's thread.

#include "net/NetFTP.h"

#include <QObject>
#include <QPointer>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

class PictureTap;
class TNewestPicture;

struct TSnapshotSettings {
    std::string Host;
    int Port = 21;
    std::string Username;
    std::string Password;
    std::string RemoteName; // "webcam.jpg", or with the page's folder: "www/webcam.jpg"
    TNetFTPSecurity Security = fsAuto;
    std::string TrustedFingerprint;
    std::chrono::milliseconds Interval{60000};
    int ReplyTimeoutMs = 15000; // each reply of the server, and the connect
    std::string LocalFile;      // where the JPEG is written before it is sent (made private)
    int Quality = 80;
};

class TSnapshotUploader {
public:
    // report(ok, text): "Uploaded webcam.jpg to HOST at HH:MM over ..." or
    // the failure's reason; on the context's thread.
    using Report = std::function<void(bool ok, const std::string& text)>;

    TSnapshotUploader(QObject* context, Report report);
    ~TSnapshotUploader();
    TSnapshotUploader(const TSnapshotUploader&) = delete;
    TSnapshotUploader& operator=(const TSnapshotUploader&) = delete;

    void Start(std::shared_ptr<PictureTap> tap, TSnapshotSettings settings);
    void Stop();
    // True until every upload thread has ended after Stop.
    bool Working() const;

private:
    struct Run;
    // Joins the threads of runs that have ended.
    void Reap();

    QPointer<QObject> m_context;
    Report m_report;
    std::shared_ptr<PictureTap> m_tap;
    std::shared_ptr<Run> m_run; // the current run, or none
    // Every run's thread until joined: the current one and stopped ones
    // still finishing an upload.
    std::vector<std::pair<std::shared_ptr<Run>, std::thread>> m_threads;
    int m_runs = 0;
    std::shared_ptr<std::atomic<bool>> m_alive;
};
