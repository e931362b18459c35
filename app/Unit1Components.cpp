// The window's non-visual components: created with the window, destroyed
// before it (members leave their graph before the graph goes).
#include "app/Unit1.h"
#include "app/Unit1PortMapping.h"

#include "app/AntiFreeze.h"
#include "app/Unit1Audio.h"
#include "app/Unit1Relay.h"
#include "app/BackgroundRequest.h"
#include "app/SnapshotUploader.h"
#include "live/browser/BrowserSide.h"
#include "platform/wmf/ViewerGate.h"

#include "htmlview/HtmlView.h"
#include "media/MediaKit.h"
#include "media/SysDevEnum.h"
#include "net/NetFTP.h"
#include "net/NetHTTP.h"
#include "platform/ui/Application.h"

#include <QSpinBox>
#include <QFrame>

void TForm1::CreateComponents()
{
    // The graph and its members.
    FilterGraph1 = std::make_unique<TFilterGraph>();
    FilterGraph1->SetName("FilterGraph1");
    FilterGraph1->SetMode(gmCapture);
    FilterGraph1->SetGraphEdit(false);
    FilterGraph1->SetLinearVolume(true);
    FilterGraph1->OnGraphDeviceLost = [this](TFilterGraph*, IUnknown* device, bool removed) {
        if (!Audio || !Audio->DeviceLost(device, removed))
            FilterGraph1DeviceLost(removed);
    };

    Filter1 = std::make_unique<TFilter>();
    Filter1->SetName("Filter1");
    Filter1->SetFilterGraph(FilterGraph1.get());

    VideoWindow1 = new TVideoWindow(Panel4);
    VideoWindow1->setObjectName("VideoWindow1");
    VideoWindow1->setGeometry(Panel4->rect());
    VideoWindow1->SetMode(vmVMR);
    VideoWindow1->VMROptions()->SetMode(vmrWindowed);
    VideoWindow1->SetFilterGraph(FilterGraph1.get());

    Browsers = std::make_shared<BrowserSide>();
    Browsers->SetH264Bitrate(static_cast<uint32_t>(edBrowserBitrate->value()) * 1000);
    ASFWriter = std::make_unique<TASFWriter>();
    ASFWriter->SetName("ASFWriter");
    ASFWriter->SetFilterGraph(FilterGraph1.get());
    ASFWriter->SetProfile(wmp_V80_255VideoPDA);
    ASFWriter->SetPort(0);
    ASFWriter->SetMaxUsers(0);
    // Browsers are served on the stream's port beside the players.
    ASFWriter->SetRouteHook(Browsers);
    Gate = std::make_shared<ViewerGate>();
    ASFWriter->SetGate(Gate);

    CreateHelpViewer();

    AntiFreeze = std::make_unique<TWindowAntiFreeze>();

    // The echo service client. A silent service must not hold the window:
    // connect and every read are bounded (and the request as a whole, by
    // GetOutsideIP).
    NetHTTP1 = std::make_unique<TNetHTTP>();
    NetHTTP1->Request().SetAccept("text/html, */*");
    NetHTTP1->Request().SetUserAgent("Mozilla/3.0 (compatible; Lumora)");
    NetHTTP1->Request().SetContentType("text/html");
    NetHTTP1->Request().SetContentLength(-1);
    NetHTTP1->SetAllowCookies(true);
    NetHTTP1->SetHTTPOptions(hoForceEncodeParams);
    NetHTTP1->SetReadTimeout(RequestLimits.Echo);
    NetHTTP1->SetMaxLineAction(maException);
    NetHTTP1->ProxyParams().SetProxyPort(0);
    PrepareEchoClient();

    // The website uploader; each reply is awaited for a bounded time.
    NetFTP1 = std::make_unique<TNetFTP>();
    NetFTP1->SetTransferType(ftASCII);
    NetFTP1->SetMaxLineAction(maException);
    NetFTP1->SetReadTimeout(RequestLimits.FtpReply);
    NetFTP1->SetDataAcceptTimeout(RequestLimits.FtpReply);
    NetFTP1->ProxySettings().ProxyType = fpcmNone;
    NetFTP1->ProxySettings().Port = 0;
}

TForm1::~TForm1()
{
    DestroyComponents();
    if (Application::Instance().MainForm() == this)
        Application::Instance().SetMainForm(nullptr);
}

void TForm1::DestroyComponents()
{
    delete HTML;
    HTML = nullptr;
    // Members leave the graph before it goes.
    ASFWriter.reset();
    delete VideoWindow1;
    VideoWindow1 = nullptr;
    Filter1.reset();
    FilterGraph1.reset();
    NetFTP1.reset();
    NetHTTP1.reset();
    AntiFreeze.reset();
    DeviceEnum.reset();
}
