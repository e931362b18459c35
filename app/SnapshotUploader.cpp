#include "app/SnapshotUploader.h"

#include "live/browser/JpegEncoder.h"
#include "net/NetFTPPublish.h"
#include "platform/wmf/PictureTap.h"

#include <QMetaObject>
#include <QTime>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

// Keeps the newest picture of the tap (the encoding thread publishes; the
// upload thread takes).
class TNewestPicture final : public IPictureObserver {
public:
    void OnPicture(const TappedPicture& picture) override
    {
        {
            std::lock_guard lock(m_lock);
            m_picture = picture;
        }
        m_arrived.notify_all();
    }
    // The newest picture, waiting up to `wait` for a first one; empty on none.
    TappedPicture Take(std::chrono::milliseconds wait, const std::function<bool()>& stop)
    {
        std::unique_lock lock(m_lock);
        m_arrived.wait_for(lock, wait, [&] { return m_picture.i420 || stop(); });
        return m_picture;
    }
    void Poke() { m_arrived.notify_all(); }

private:
    std::mutex m_lock;
    std::condition_variable m_arrived;
    TappedPicture m_picture;
};

namespace {

void WriteWholeFile(const std::string& path, const std::vector<uint8_t>& bytes)
{
    // Private to the user, and a link in its place is refused.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        throw Exception("Cannot create file \"" + path + "\". " + std::strerror(errno));
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int e = errno;
            ::close(fd);
            throw Exception("Cannot write file \"" + path + "\". " + std::strerror(e));
        }
        done += static_cast<size_t>(n);
    }
    ::close(fd);
}

} // namespace

TSnapshotUploader::TSnapshotUploader(QObject* context, Report report)
    : m_context(context), m_report(std::move(report)), m_alive(std::make_shared<std::atomic<bool>>(true))
{
}

TSnapshotUploader::~TSnapshotUploader()
{
    Stop();
    Join();
    *m_alive = false;
}

void TSnapshotUploader::Start(std::shared_ptr<PictureTap> tap, TSnapshotSettings settings)
{
    Stop();
    Join();
    if (!tap)
        return;
    m_settings = std::move(settings);
    m_tap = std::move(tap);
    m_newest = std::make_shared<TNewestPicture>();
    m_tap->Add(m_newest);
    {
        std::lock_guard lock(m_lock);
        m_stop = false;
    }
    m_working = true;
    m_thread = std::thread([this, newest = m_newest] { Run(newest); });
}

void TSnapshotUploader::Stop()
{
    if (m_tap && m_newest)
        m_tap->Remove(m_newest.get());
    {
        std::lock_guard lock(m_lock);
        m_stop = true;
    }
    m_wake.notify_all();
    if (m_newest)
        m_newest->Poke();
    m_tap.reset();
    m_newest.reset();
}

void TSnapshotUploader::Join()
{
    if (m_thread.joinable())
        m_thread.join();
}

void TSnapshotUploader::Run(const std::shared_ptr<TNewestPicture>& newest)
{
    auto stopped = [this] {
        std::lock_guard lock(m_lock);
        return m_stop;
    };
    // The first picture as soon as there is one; then one per interval.
    while (!stopped() && !newest->Take(std::chrono::milliseconds(200), stopped).i420) {
    }
    while (!stopped()) {
        const auto began = std::chrono::steady_clock::now();
        bool ok = true;
        std::string text;
        try {
            text = UploadOnce(*newest);
        } catch (const std::exception& e) {
            ok = false;
            text = e.what();
        }
        if (stopped())
            break;
        if (QObject* context = m_context.data())
            QMetaObject::invokeMethod(
                context, [report = m_report, alive = m_alive, ok, text] {
                    if (*alive)
                        report(ok, text);
                },
                Qt::QueuedConnection);
        std::unique_lock lock(m_lock);
        m_wake.wait_until(lock, began + m_settings.Interval, [this] { return m_stop; });
    }
    ::unlink(m_settings.LocalFile.c_str());
    m_working = false;
}

std::string TSnapshotUploader::UploadOnce(TNewestPicture& newest)
{
    const TappedPicture picture = newest.Take(std::chrono::milliseconds(0), [] { return true; });
    if (!picture.i420)
        throw Exception("no picture yet");
    std::vector<uint8_t> jpeg;
    JpegEncoder encoder;
    if (!encoder.Encode(picture.i420->data(), picture.width, picture.height, m_settings.Quality, &jpeg))
        throw Exception("the picture could not be encoded as JPEG");
    WriteWholeFile(m_settings.LocalFile, jpeg);

    TNetFTP ftp;
    ftp.SetHost(m_settings.Host);
    ftp.SetPort(m_settings.Port);
    ftp.SetUsername(m_settings.Username);
    ftp.SetPassword(m_settings.Password);
    ftp.SetTransferType(ftBinary);
    ftp.SetMaxLineAction(maException);
    ftp.SetSecurity(m_settings.Security);
    ftp.SetTrustedFingerprint(m_settings.TrustedFingerprint);
    ftp.SetPassiveFallback(true);
    ftp.SetReadTimeout(m_settings.ReplyTimeoutMs);
    ftp.SetDataAcceptTimeout(std::min(5000, m_settings.ReplyTimeoutMs));
    std::string text;
    try {
        ftp.OpenSession(true, m_settings.ReplyTimeoutMs);
        const TNetFTPPublishResult result = PublishFile(ftp, m_settings.LocalFile, m_settings.RemoteName);
        text = "Uploaded " + m_settings.RemoteName + " to " + m_settings.Host + " at " +
               QTime::currentTime().toString("HH:mm").toStdString() +
               (result.TLS ? " over " + ftp.TLSProtocol() : std::string(" over plain FTP")) +
               ReplaceMethodNote(result.Method);
    } catch (...) {
        try {
            if (ftp.IsConnected())
                ftp.CloseConnection();
        } catch (const std::exception&) {
        }
        throw;
    }
    try {
        if (ftp.IsConnected())
            ftp.QuitSession();
    } catch (const std::exception&) {
        ftp.CloseConnection();
    }
    return text;
}
