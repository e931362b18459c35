// Sound: the audio choice of the "Video Source" group and the audio capture
// source of the stream's graph.
#include "app/Unit1Audio.h"

#include "app/Unit1.h"
#include "media/MediaKit.h"
#include "platform/dshow/AudioCapture.h"
#include "platform/ini/IniFile.h"
#include "platform/wmf/AudioTap.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QProgressBar>
#include <QTimer>

#include <cmath>
#include <cstdio>

namespace {

const char* const kSection = "Audio";
const char* const kAbsent = "\x01";
const char* const kOff = "Audio off";

std::string IdentityKey(const DeviceIdentity& d) { return d.kind + ":" + d.path; }

QComboBox* AudioBox(TForm1& form) { return form.GroupBox4->findChild<QComboBox*>("cbAudio"); }
QCheckBox* MuteBox(TForm1& form) { return form.GroupBox4->findChild<QCheckBox*>("cbMute"); }
QProgressBar* Meter(TForm1& form) { return form.GroupBox4->findChild<QProgressBar*>("pbAudioLevel"); }

} // namespace

TAudioController::TAudioController(TForm1& form) : m_form(form) {}

TAudioController::~TAudioController()
{
    Disconnect();
}

void TAudioController::BuildControls()
{
    auto* box = new QComboBox(m_form.GroupBox4);
    box->setObjectName("cbAudio");
    box->setToolTip("Audio: the sound that goes with the picture");
    box->addItem(kOff);
    auto* meter = new QProgressBar(m_form.GroupBox4);
    meter->setObjectName("pbAudioLevel");
    meter->setRange(0, 100);
    meter->setValue(0);
    meter->setTextVisible(false);
    meter->setToolTip("Sound level");
    auto* mute = new QCheckBox("Mute", m_form.GroupBox4);
    mute->setObjectName("cbMute");
    mute->setToolTip("Send silence; the stream goes on");

    QObject::connect(box, &QComboBox::activated, &m_form, [this](int) { ChoiceChanged(); });
    QObject::connect(mute, &QCheckBox::toggled, &m_form, [this](bool muted) {
        if (m_control)
            m_control->SetMuted(muted);
    });
    // The camera's own microphone comes first for the camera chosen.
    QObject::connect(m_form.cbSource, &QComboBox::activated, &m_form, [this](int) { ListInputs(); });
    m_meter = new QTimer(&m_form);
    m_meter->setObjectName("tmrAudioLevel");
    m_meter->setInterval(100);
    QObject::connect(m_meter, &QTimer::timeout, &m_form, [this] { ShowLevel(); });
}

std::string TAudioController::CameraPath() const
{
    const int index = m_form.cbSource->currentIndex();
    if (index < 0 || !m_form.DeviceEnum || index >= m_form.DeviceEnum->DeviceCount())
        return {};
    const ComPtr<IMoniker> moniker = m_form.DeviceEnum->DeviceMoniker(index);
    ComPtr<IPropertyBag> bag;
    if (!moniker || FAILED(moniker->BindToStorage(nullptr, nullptr, IPropertyBag::iid, bag.ReleaseAndGetVoid())) || !bag)
        return {};
    VARIANT path;
    return SUCCEEDED(bag->Read("DevicePath", &path, nullptr)) ? std::string(path.bstrVal) : std::string();
}

void TAudioController::ListInputs()
{
    m_inputs = AudioInputsForCamera(EnumerateAudioInputs(), CameraPath());
    QComboBox* box = AudioBox(m_form);
    const QSignalBlocker block(box);
    box->clear();
    box->addItem(kOff);
    int selected = 0;
    for (size_t i = 0; i < m_inputs.size(); ++i) {
        box->addItem(QString::fromStdString(m_inputs[i].identity.friendlyName));
        if (m_enabled && IdentityKey(m_inputs[i].identity) == m_chosen)
            selected = static_cast<int>(i) + 1;
    }
    box->setCurrentIndex(selected);
}

void TAudioController::ChoiceChanged()
{
    const int row = AudioBox(m_form)->currentIndex();
    m_used = true;
    m_enabled = row > 0;
    if (row > 0 && static_cast<size_t>(row) <= m_inputs.size())
        m_chosen = IdentityKey(m_inputs[static_cast<size_t>(row) - 1].identity);
}

void TAudioController::Load(const TIniFile& ini)
{
    const std::string source = ini.ReadString(kSection, "Source", kAbsent);
    const std::string enabled = ini.ReadString(kSection, "Enabled", kAbsent);
    m_used = source != kAbsent || enabled != kAbsent;
    m_chosen = source == kAbsent ? std::string() : source;
    m_enabled = ini.ReadBool(kSection, "Enabled", false);
}

void TAudioController::Save(TIniFile& ini) const
{
    if (!m_used)
        return;
    ini.WriteString(kSection, "Source", m_chosen);
    ini.WriteBool(kSection, "Enabled", m_enabled);
}

bool TAudioController::On() const
{
    const QComboBox* box = AudioBox(m_form);
    return box && box->currentIndex() > 0 && static_cast<size_t>(box->currentIndex()) <= m_inputs.size();
}

void TAudioController::Connect()
{
    Disconnect();
    if (!On())
        return;
    const DeviceIdentity& input = m_inputs[static_cast<size_t>(AudioBox(m_form)->currentIndex()) - 1].identity;
    ComPtr<IBaseFilter> source;
    if (FAILED(CreateCaptureFilter(input, IBaseFilter::iid, source.ReleaseAndGetVoid())) || !source)
        return;
    const ComPtr<IFilterGraph2> graph = Supports<IFilterGraph2>(*m_form.FilterGraph1);
    if (!graph || FAILED(graph->AddFilter(source.Get(), "Audio Capture")))
        return;
    m_source = source;
    m_lastSource = m_source;
    m_control = m_source.As<IAudioCaptureControl>();

    // The writer's audio stream, when the row's profile has one.
    ComPtr<IPin> out, in;
    source->FindPin("Capture", out.GetAddressOf());
    if (const ComPtr<IBaseFilter> writer = Supports<IBaseFilter>(*m_form.ASFWriter))
        writer->FindPin("Audio Input 01", in.GetAddressOf());
    if (out && in)
        graph->ConnectDirect(out.Get(), in.Get(), nullptr); // refused when the profile has no audio

    // Every buffer also goes to the outputs beside the ASF stream.
    if (const ComPtr<IWMWriterAudioTap> tap = Supports<IWMWriterAudioTap>(*m_form.ASFWriter))
        m_tap = tap->GetAudioTap();
    if (m_control) {
        m_control->SetMuted(MuteBox(m_form)->isChecked());
        if (m_tap)
            m_control->SetListener([tap = m_tap](const int16_t* samples, size_t frames, int channels, int rate, int64_t time) {
                if (tap->Wanted())
                    tap->Publish(TappedAudio{samples, frames, channels, rate, time});
            });
    }
    AudioBox(m_form)->setEnabled(false);
    m_meter->start();
}

std::shared_ptr<void> TAudioController::FeedOutput(AudioTap::Consumer consumer) const
{
    if (!On() || !consumer)
        return nullptr;
    const ComPtr<IWMWriterAudioTap> writer = Supports<IWMWriterAudioTap>(*m_form.ASFWriter);
    std::shared_ptr<AudioTap> tap = writer ? writer->GetAudioTap() : nullptr;
    if (!tap)
        return nullptr;
    const AudioTap::Subscription subscription = tap->Subscribe(std::move(consumer));
    return std::shared_ptr<void>(nullptr, [tap, subscription](void*) { tap->Unsubscribe(subscription); });
}

void TAudioController::Disconnect()
{
    if (m_meter)
        m_meter->stop();
    if (m_control)
        m_control->SetListener(nullptr);
    m_control = nullptr;
    m_source = nullptr;
    m_tap = nullptr;
    if (QComboBox* box = AudioBox(m_form)) {
        box->setEnabled(true);
        Meter(m_form)->setValue(0);
    }
    if (m_form.StatusPanel1 && m_form.StatusPanel1->text() == kMicrophoneLost)
        m_form.StatusPanel1->clear();
}

void TAudioController::ShowLevel()
{
    if (!m_control)
        return;
    // -60 dBFS .. 0 dBFS across the bar.
    const int peak = m_control->PeakLevel();
    const double db = peak > 0 ? 20.0 * std::log10(peak / 32768.0) : -60.0;
    Meter(m_form)->setValue(static_cast<int>(std::lround(std::clamp(db + 60.0, 0.0, 60.0) * 100.0 / 60.0)));
}

bool TAudioController::DeviceLost(IUnknown* device, bool removed)
{
    if (!m_lastSource || static_cast<const void*>(device) != static_cast<const void*>(m_lastSource.Get()))
        return false;
    if (!m_source)
        return true; // stopped since: nothing to say
    if (removed) {
        m_form.StatusPanel1->setText(kMicrophoneLost);
        if (QGuiApplication::platformName() == "offscreen") {
            std::printf("%s\n", kMicrophoneLost);
            std::fflush(stdout);
        }
    } else if (m_form.StatusPanel1->text() == kMicrophoneLost) {
        m_form.StatusPanel1->clear();
    }
    return true;
}
