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
// Threads. Start, Stop and the destructor on the window's thread. Stop
// does not wait: an upload in progress ends on its own (each wait on the
// server is bounded) and reports nothing; the next Start and the
// destructor join the thread. Reports reach the context's thread.

#include "net/NetFTP.h"

#include <QObject>
#include <QPointer>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

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
    // True until the upload thread has ended after Stop.
    bool Working() const { return m_working; }

private:
    void Join();
    void Run(const std::shared_ptr<TNewestPicture>& newest);
    // One upload of the newest picture; the status text, or raises.
    std::string UploadOnce(TNewestPicture& newest);

    QPointer<QObject> m_context;
    Report m_report;
    TSnapshotSettings m_settings;
    std::shared_ptr<PictureTap> m_tap;
    std::shared_ptr<TNewestPicture> m_newest;
    std::thread m_thread;
    std::mutex m_lock;
    std::condition_variable m_wake;
    bool m_stop = false;
    std::atomic<bool> m_working{false};
    std::shared_ptr<std::atomic<bool>> m_alive;
};
