// The relay group of the Network page and the relay's life from Start to
// Stop.
#include "app/Unit1Relay.h"

#include "app/Unit1.h"
#include "app/Unit1Audio.h"
#include "app/Unit1Profiles.h"
#include "media/MediaKit.h"
#include "platform/ini/IniFile.h"
#include "live/relay/RtmpUrl.h"
#include "platform/wmf/PictureTap.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QMetaObject>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {
const QChar kMaskChar(0x2022); // bullet
const char* const kSection = "Relay";
const char* const kAbsent = "\x1f"; // a default no settings file can hold
} // namespace

// ---- the masked address field -------------------------------------------------------

TRelayUrlEdit::TRelayUrlEdit(QWidget* parent) : QLineEdit(parent)
{
    connect(this, &QLineEdit::textEdited, this, [this](const QString& shown) { Edited(shown); });
}

QString TRelayUrlEdit::Masked(const QString& url)
{
    const std::string utf8 = url.toStdString();
    const RtmpUrlShownParts parts = RtmpUrlShown(utf8);
    // Byte offsets of the UTF-8 text as positions in the UTF-16 text.
    auto at = [&](size_t bytes) { return static_cast<int>(QString::fromStdString(utf8.substr(0, bytes)).size()); };
    const int schemeEnd = at(parts.schemeEnd), hostBegin = at(parts.hostBegin), hostEnd = at(parts.hostEnd);
    QString out = url;
    for (int i = 0; i < out.size(); ++i)
        if (!(i < schemeEnd || (i >= hostBegin && i < hostEnd)))
            out[i] = kMaskChar;
    return out;
}

void TRelayUrlEdit::SetUrl(const QString& url)
{
    m_url = url;
    m_shown = Masked(url);
    setText(m_shown);
}

void TRelayUrlEdit::Edited(const QString& shown)
{
    // Every edit of a line edit (typing, pasting, deleting, replacing a
    // selection) leaves the cursor right after what it put in, and the text
    // after the cursor unchanged: that tail and the common head locate the
    // change in the real text.
    const int cursor = cursorPosition();
    const int tail = static_cast<int>(shown.size()) - cursor;
    QString url;
    if (tail < 0 || tail > m_shown.size()) {
        url = shown;
    } else {
        const int limit = std::min<int>(cursor, static_cast<int>(m_shown.size()) - tail);
        int head = 0;
        while (head < limit && m_shown[head] == shown[head])
            ++head;
        url = m_url.left(head) + shown.mid(head, cursor - head) + m_url.mid(m_shown.size() - tail);
    }
    SetUrl(url);
    setCursorPosition(cursor);
    if (OnUserEdit)
        OnUserEdit();
}

// ---- the controller -----------------------------------------------------------------------

TRelayController::TRelayController(TForm1& form) : m_form(form)
{
    m_clock = new QTimer(&form);
    m_clock->setObjectName("tmrRelayStatus");
    m_clock->setInterval(1000);
    QObject::connect(m_clock, &QTimer::timeout, &form, [this] { ShowStatus(); });
    m_form.edRelayURL->OnUserEdit = [this] { m_urlOverride = false; };
    QObject::connect(m_form.cbRelay, &QCheckBox::clicked, &form, [this](bool) { m_enabledOverride = false; });
}

TRelayController::~TRelayController()
{
    Stop();
}

void TRelayController::Load(const TIniFile& ini)
{
    const std::string url = ini.ReadString(kSection, "URL", kAbsent);
    const std::string enabled = ini.ReadString(kSection, "Enabled", kAbsent);
    const std::string bitrate = ini.ReadString(kSection, "Bitrate", kAbsent);
    const std::string audioBitrate = ini.ReadString(kSection, "AudioBitrate", kAbsent);
    const std::string fingerprint = ini.ReadString(kSection, "TrustedFingerprint", kAbsent);
    m_inFile = url != kAbsent || enabled != kAbsent || bitrate != kAbsent || audioBitrate != kAbsent ||
               fingerprint != kAbsent;
    m_fileFingerprint = fingerprint == kAbsent ? std::string() : fingerprint;
    m_fileUrl = url == kAbsent ? std::string() : url;
    m_fileEnabled = ini.ReadBool(kSection, "Enabled", false);
    m_fileBitrate = ini.ReadInteger(kSection, "Bitrate", 0);
    m_fileAudioBitrate = ini.ReadInteger(kSection, "AudioBitrate", 0);
    m_form.edRelayURL->SetUrl(QString::fromStdString(m_fileUrl));
    m_form.cbRelay->setChecked(m_fileEnabled);
    m_urlOverride = m_enabledOverride = false;
    ShowStatus();
}

void TRelayController::OverrideForThisRun(const std::string& url)
{
    m_form.edRelayURL->SetUrl(QString::fromStdString(url));
    m_form.cbRelay->setChecked(true);
    m_urlOverride = m_enabledOverride = true;
}

void TRelayController::Save(TIniFile& ini) const
{
    // Without a relay setting the file keeps exactly the keys it had.
    const std::string url = m_urlOverride ? m_fileUrl : m_form.edRelayURL->Url().toStdString();
    const bool enabled = m_enabledOverride ? m_fileEnabled : m_form.cbRelay->isChecked();
    if (!m_inFile && url.empty() && !enabled)
        return;
    ini.WriteString(kSection, "URL", url);
    ini.WriteBool(kSection, "Enabled", enabled);
    if (m_fileBitrate > 0)
        ini.WriteInteger(kSection, "Bitrate", m_fileBitrate);
    if (m_fileAudioBitrate > 0)
        ini.WriteInteger(kSection, "AudioBitrate", m_fileAudioBitrate);
    if (!m_fileFingerprint.empty())
        ini.WriteString(kSection, "TrustedFingerprint", m_fileFingerprint);
}

int TRelayController::BitrateKbps() const
{
    if (m_fileBitrate > 0)
        return m_fileBitrate;
    return std::max(300, std::atoi(ProfileBitrateText(m_form.ProfileIndex)) / 1000);
}

int TRelayController::AudioBitrateKbps() const
{
    return m_fileAudioBitrate > 0 ? std::min(m_fileAudioBitrate, 512) : 64;
}

void TRelayController::Start()
{
    Stop();
    if (!m_form.cbRelay->isChecked() || !m_form.FilterGraph1->Active())
        return;
    ComPtr<IWMWriterPictureTap> source = Supports<IWMWriterPictureTap>(*m_form.ASFWriter);
    if (!source)
        return;
    RelayOptions options;
    options.url = m_form.edRelayURL->Url().toStdString();
    options.bitrateKbps = BitrateKbps();
    options.audioBitrateKbps = AudioBitrateKbps();
    options.sound = m_form.Audio->On() ? SoundTrack::On : SoundTrack::Off;
    options.trustedFingerprint = m_fileFingerprint;
    m_relay = std::make_shared<RtmpRelay>(options);
    // The status comes from the relay's thread; the window takes it up on its
    // own thread (a pending call is dropped if the window goes first).
    m_notices = std::make_unique<QObject>();
    m_printed.clear();
    QObject* notices = m_notices.get();
    m_relay->SetStatusListener([this, notices](const RelayStatus& status) {
        QMetaObject::invokeMethod(notices, [this, status] { StatusChanged(status); }, Qt::QueuedConnection);
    });
    // The relay leads the shared H.264 encode of the writer's pictures:
    // browsers watching meanwhile get it at the relay's bitrate.
    m_relay->Start(source->GetPictureTap());
    m_sound = m_form.Audio->FeedOutput([relay = m_relay](const TappedAudio& audio) { relay->FeedAudio(audio); });
    m_clock->start();
    ShowStatus();
}

void TRelayController::Stop()
{
    if (!m_relay)
        return;
    m_sound.reset();
    m_relay->Stop();
    m_relay.reset();
    m_notices.reset();
    m_clock->stop();
    ShowStatus();
    StatusChanged(RelayStatus{});
}

void TRelayController::StatusChanged(const RelayStatus& status)
{
    ShowStatus();
    // One line per change of state for the headless output; the live clock
    // is not printed, and the address without its key.
    std::string line;
    switch (status.state) {
    case RelayState::Off:
        line = "off";
        break;
    case RelayState::Connecting:
        line = "connecting to " + RtmpUrlForDisplay(m_form.edRelayURL->Url().toStdString());
        break;
    case RelayState::Live:
        line = "live";
        break;
    case RelayState::Retrying:
        line = status.error + "; retry in " + std::to_string(status.retrySeconds) + " s";
        break;
    case RelayState::Failed:
        line = status.error;
        break;
    }
    if (line == m_printed || (m_printed.empty() && status.state == RelayState::Off))
        return;
    m_printed = line;
    std::printf("Lumora relay: %s\n", line.c_str());
    std::fflush(stdout);
}

void TRelayController::ShowStatus()
{
    const std::string text =
        m_relay ? RelayStatusText(m_relay->Status(), std::chrono::steady_clock::now()) : std::string("off");
    m_form.lblRelayStatus->setText(QString::fromStdString(text));
}

// ---- the group on the Network page --------------------------------------------------

void TForm1::BuildRelayControls()
{
    // On the Network page below the settings group (placed by LayOutWindow).
    GroupBox5 = new QGroupBox("Relay", TabSheet2);
    GroupBox5->setObjectName("GroupBox5");
    cbRelay = new QCheckBox("Relay to", GroupBox5);
    cbRelay->setObjectName("cbRelay");
    edRelayURL = new TRelayUrlEdit(GroupBox5);
    edRelayURL->setObjectName("edRelayURL");
    edRelayURL->setPlaceholderText("rtmp://host/app/streamkey");
    auto* caption = new QLabel("Status", GroupBox5);
    caption->setObjectName("lblRelayStatusCaption");
    lblRelayStatus = new QLabel("off", GroupBox5);
    lblRelayStatus->setObjectName("lblRelayStatus");
    lblRelayStatus->setWordWrap(true);
    lblRelayStatus->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    Relay = std::make_unique<TRelayController>(*this);
}
