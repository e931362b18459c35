// Streaming start and stop.
#include "app/Unit1.h"

#include "app/Unit1PortMapping.h"
#include "app/Unit1Audio.h"
#include "app/Unit1Relay.h"

#include "media/CaptureFormat.h"
#include "media/MediaKit.h"
#include "net/NetStack.h"
#include "platform/ini/IniFile.h"
#include "platform/ui/Application.h"
#include "platform/ui/Dialogs.h"
#include "platform/ui/Resources.h"
#include "platform/wmf/WMAsfWriter.h"
#include "platform/wmf/WMProfile.h"
#include "platform/wmf/WMWriter.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <cstdio>

namespace {

// What the stream needs from the capture: the profile's video size and
// rate, and no smaller than the preview shows.
CaptureNeed CaptureNeedOf(const ComPtr<IUnknown>& streamProfile)
{
    CaptureNeed need;
    const ComPtr<IWMProfile> profile = streamProfile ? streamProfile.As<IWMProfile>() : ComPtr<IWMProfile>();
    DWORD count = 0;
    if (!profile || FAILED(profile->GetStreamCount(&count)))
        return need;
    for (DWORD i = 0; i < count; ++i) {
        ComPtr<IWMStreamConfig> config;
        WMStreamFormat format;
        if (SUCCEEDED(profile->GetStream(i, config.GetAddressOf())) && config && SUCCEEDED(config->GetFormat(&format))
            && format.IsVideo()) {
            need.width = std::max(format.width, 320);
            need.height = std::max(format.height, 240);
            need.frameInterval = static_cast<REFERENCE_TIME>(format.avgTimePerFrame);
            break;
        }
    }
    return need;
}

std::string PortRefusedText(const std::string& port)
{
    return "The stream cannot be served on port " + port + ": the port is in use or not allowed.";
}

std::string GraphErrorDialogText(const std::string& error)
{
    return "DirectX has detected the following error: \"" + error + "\"\r\n"
           "\r\n"
           "It may be possible to stream to the network but without a local display.\r\n"
           "\r\n"
           "Do you wish to ignore error the message and try to continue?\r\n";
}

} // namespace

bool IsPlainDecimal(const std::string& text)
{
    if (text.empty() || text.size() > 9)
        return false;
    for (char c : text)
        if (c < '0' || c > '9')
            return false;
    return true;
}

int TForm1::StreamPortNumber() const
{
    const std::string text = edPort->text().toStdString();
    if (!IsPlainDecimal(text))
        return 0;
    const int port = std::stoi(text);
    return port >= 1 && port <= 65535 ? port : 0;
}

std::string TForm1::PagePortText() const
{
    // While streaming, the port served; otherwise the field's number. A
    // field that is not a port makes no page with a dead link.
    if (Streaming())
        return std::to_string(ASFWriter->Port());
    const int port = StreamPortNumber();
    if (port == 0)
        throw Exception(PortRefusedText(edPort->text().toStdString()));
    return std::to_string(port);
}

void TForm1::btnStartClick()
{
    // Automatic updating needs a server and a page name.
    if (cbFTP->isChecked()) {
        if (edRemoteHost->text().isEmpty()) {
            ShowMessage("Your website's FTP Server settings are required.");
            return;
        }
        if (edFile->text().isEmpty()) {
            ShowMessage("A filename for the uploaded webpage is required.");
            return;
        }
    }

    // The stream is built from a running preview of the selected source.
    if (!FilterGraph1->Active())
        btnPreviewClick();
    btnPreview->setEnabled(false);

    // The remote page name gets its extension; the address fields show the
    // LAN address and the public address known so far.
    edFile->setText(QString::fromStdString(ApplyRemotePageExtension(edFile->text().toStdString())));
    edIPAddress->setText(QString::fromStdString(PrimaryLocalAddressText()));
    ShowWanAddress(false);

    // A fresh profile for the bitrate row, and an empty graph to build on.
    cbProfilesClick();
    if (FilterGraph1->Active())
        FilterGraph1->SetActive(false);
    FilterGraph1->ClearGraph();

    if (SourceIndex > -1) {
        // Port 0 would give an ephemeral port nobody knows, a number out of
        // range no port at all, and text that is not a plain decimal number
        // a port other than the one the pages name: refuse them all as a
        // taken port is refused.
        const int32_t port = StreamPortNumber();
        if (port == 0)
            throw EMediaKitException(PortRefusedText(edPort->text().toStdString()));

        // The members: the device, and the writer with its network sink.
        Filter1->BaseFilter()->StoreMoniker(DeviceEnum->DeviceMoniker(SourceIndex).Get());
        ASFWriter->SetFileName(Files.WanPageFile());
        ASFWriter->SetFilterGraph(FilterGraph1.get());
        ASFWriter->SetPort(static_cast<uint32_t>(port));
        ASFWriter->SetMaxUsers(10);
        FilterGraph1->SetActive(true);
        // A port that cannot be opened would leave a stream nobody can reach:
        // say so instead of pretending to stream.
        if (const ComPtr<IWMWriterNetworkSink>& sink = ASFWriter->NetworkSink()) {
            std::string url;
            if (FAILED(sink->GetHostURL(&url)))
                throw EMediaKitException(PortRefusedText(std::to_string(port)));
        }
        // The router is asked on a thread of its own: the first stream byte
        // never waits for it.
        PortMapping->Start(port);

        // The writer's profile, title and live mode.
        if (ComPtr<IConfigAsfWriter> config = Supports<IConfigAsfWriter>(*ASFWriter)) {
            if (ComPtr<IWMProfile> profile = StreamProfile.As<IWMProfile>())
                config->ConfigureFilterUsingProfile(profile.Get());
            else
                config->ConfigureFilterUsingProfileGuid(WMProfiles8Guid(wmp_V80_56VideoOnly));
        }
        const ComPtr<IWMWriterAdvanced2> advanced = ASFWriter->WriterAdvanced();
        ComPtr<IWMHeaderInfo3> header = advanced ? advanced.As<IWMHeaderInfo3>() : ComPtr<IWMHeaderInfo3>();
        if (header) {
            static const WCHAR blank[] = u" ";
            WORD index = 0;
            header->AddAttribute(0, u"Title", &index, WMT_TYPE_STRING, 0, reinterpret_cast<const BYTE*>(blank), 2);
            advanced->SetLiveSource(1);
        }
        FilterGraph1->SetMode(gmCapture);

        // De-interlacing is a wish, never an error.
        if (header) {
            try {
                const DWORD mode = WM_DM_DEINTERLACE_NORMAL;
                CheckGraphResult(advanced->SetInputSetting(0, u"DeinterlaceMode", WMT_TYPE_DWORD,
                                                           reinterpret_cast<const BYTE*>(&mode), sizeof mode));
            } catch (const std::exception&) {
            }
        }

        // Capture into the writer, preview into the window, network sink
        // only; a failure here offers to go on without a local display.
        try {
            ComPtr<ICaptureGraphBuilder2> builder = InterfaceOf<ICaptureGraphBuilder2>(*FilterGraph1);
            ComPtr<IBaseFilter> device = InterfaceOf<IBaseFilter>(*Filter1);
            ComPtr<IBaseFilter> writer = InterfaceOf<IBaseFilter>(*ASFWriter);
            ApplyCaptureFormat(builder.Get(), device.Get(), CaptureNeedOf(StreamProfile));
            CheckGraphResult(builder->RenderStream(&PIN_CATEGORY_CAPTURE, nullptr, device.Get(), nullptr, writer.Get()));
            ComPtr<IBaseFilter> renderer = InterfaceOf<IBaseFilter>(*VideoWindow1);
            CheckGraphResult(
                builder->RenderStream(&PIN_CATEGORY_PREVIEW, nullptr, device.Get(), nullptr, renderer.Get()));
            Audio->Connect();
            if (header) {
                ComPtr<IWMWriterSink> fileSink;
                advanced->GetSink(0, fileSink.GetAddressOf());
                advanced->RemoveSink(fileSink.Get());
            }
            ApplyCrossbarInput();
            FilterGraph1->Play();
        } catch (const std::exception& e) {
            TMessageRequest r;
            r.Parent = this;
            r.Caption = "Warning";
            r.Text = GraphErrorDialogText(e.what());
            r.Type = TMsgDlgType::mtWarning;
            r.Buttons = mbYes | mbNo;
            r.DefaultResult = mrYes;
            r.EscapeResult = mrNo;
            r.Left = frameGeometry().left();
            r.Top = frameGeometry().top() + 150;
            if (ShowMessageDialog(r) == mrNo) {
                FilterGraph1->SetActive(false);
                btnStopClick();
                return;
            }
            if (FilterGraph1->Active())
                FilterGraph1->Play();
        }
    }

    Relay->Start(); // beside the direct stream, when ticked

    // The streaming state: the label, the public address, the publishing
    // timers (the 10-second check always, the 15-minute one with automatic
    // updating), and the settings locked until Stop.
    Label7->setVisible(FilterGraph1->Active());
    GetOutsideIP();
    ShowWanAddress(true);
    tmrStartButtonUpload->start();
    if (cbFTP->isChecked())
        tmrMain->start();
    SetNetworkSettingsEnabled(false);
    GroupBox2->setEnabled(false);
    GroupBox1->setEnabled(false);
    GroupBox5->setEnabled(false);
    btnStart->setEnabled(false);
    btnStop->setEnabled(true);
    if (FileExists(Files.WanPageFile()))
        DeleteFileQuietly(Files.WanPageFile());

    if (FilterGraph1->Active()) {
        PrintStreamingLine();
        ViewersStarted();
    }
}

bool TForm1::Streaming() const { return btnStop->isEnabled() && FilterGraph1->Active(); }

std::string TForm1::StreamingLine() const
{
    const std::string source = SourceIndex >= 0 && SourceIndex < cbSource->count()
                                   ? cbSource->itemText(SourceIndex).toStdString()
                                   : std::string("(no source)");
    std::string line = Format("Lumora is streaming %s at http://%s:%u/", source.c_str(),
                              edIPAddress->text().toStdString().c_str(), ASFWriter->Port());
    const std::string wan = StatusPanel0->text().toStdString();
    if (IsDottedAddress(wan))
        line += Format(" (WAN http://%s:%s/)", wan.c_str(), WanPagePortText().c_str());
    return line;
}

void TForm1::PrintStreamingLine()
{
    const std::string wan = StatusPanel0->text().toStdString();
    m_printedWan = IsDottedAddress(wan) ? wan : std::string();
    std::printf("%s\n", StreamingLine().c_str());
    std::fflush(stdout);
}

void TForm1::SetNetworkSettingsEnabled(bool enabled)
{
    // The address fields stay readable and selectable in every state (they
    // are read-only anyway): while streaming they hold the stream's address,
    // the one thing a user needs then. The rest of the group greys.
    for (QWidget* child : GroupBox3->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        const auto* field = qobject_cast<QLineEdit*>(child);
        if (child != edIPAddress && child != edWAN && !child->property("lumoraStatus").toBool()
            && !(field && field->isReadOnly()))
            child->setEnabled(enabled);
    }
}

void TForm1::btnStopClick()
{
    PortMapping->Stop();
    tmrStartButtonUpload->stop();
    tmrMain->stop();
    Relay->Stop();
    Audio->Disconnect();
    FilterGraph1->SetActive(false);
    Filter1->BaseFilter()->StoreMoniker(DeviceEnum->DeviceMoniker(cbSource->currentIndex()).Get());
    FilterGraph1->SetActive(true);
    ASFWriter->SetFileName(Files.ParkedWriterName());
    ASFWriter->SetFilterGraph(nullptr);
    ComPtr<ICaptureGraphBuilder2> builder = InterfaceOf<ICaptureGraphBuilder2>(*FilterGraph1);
    ComPtr<IBaseFilter> device = InterfaceOf<IBaseFilter>(*Filter1);
    ComPtr<IBaseFilter> renderer = InterfaceOf<IBaseFilter>(*VideoWindow1);
    WithDeviceNamed([&] {
        CheckGraphResult(builder->RenderStream(&PIN_CATEGORY_PREVIEW, nullptr, device.Get(), nullptr, renderer.Get()));
    });
    ApplyCrossbarInput();
    FilterGraph1->Play();
    Label7->setVisible(false);
    SetNetworkSettingsEnabled(true);
    GroupBox2->setEnabled(true);
    GroupBox1->setEnabled(true);
    GroupBox5->setEnabled(true);
    btnStop->setEnabled(false);
    btnStart->setEnabled(true);
    btnPreview->setEnabled(!FilterGraph1->Active());
    if (FileExists(Files.ParkedWriterName()))
        DeleteFileQuietly(Files.ParkedWriterName());
    ViewersStopped();
}
