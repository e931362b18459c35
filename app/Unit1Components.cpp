// The window's non-visual components: created with the window, destroyed
// before it (members leave their graph before the graph goes).
#include "app/Unit1.h"

#include "htmlview/HtmlView.h"
#include "media/MediaKit.h"
#include "media/SysDevEnum.h"
#include "net/NetFTP.h"
#include "net/NetHTTP.h"

#include <QFrame>

void TForm1::CreateComponents()
{
    // The graph and its members.
    FilterGraph1 = new TFilterGraph;
    FilterGraph1->SetName("FilterGraph1");
    FilterGraph1->SetMode(gmCapture);
    FilterGraph1->SetGraphEdit(false);
    FilterGraph1->SetLinearVolume(true);

    Filter1 = new TFilter;
    Filter1->SetName("Filter1");
    Filter1->SetFilterGraph(FilterGraph1);

    VideoWindow1 = new TVideoWindow(Panel4);
    VideoWindow1->setObjectName("VideoWindow1");
    VideoWindow1->setGeometry(Panel4->rect());
    VideoWindow1->SetMode(vmVMR);
    VideoWindow1->VMROptions()->SetMode(vmrWindowed);
    VideoWindow1->SetFilterGraph(FilterGraph1);

    ASFWriter = new TASFWriter;
    ASFWriter->SetName("ASFWriter");
    ASFWriter->SetFilterGraph(FilterGraph1);
    ASFWriter->SetProfile(wmp_V80_255VideoPDA);
    ASFWriter->SetPort(0);
    ASFWriter->SetMaxUsers(0);

    CreateHelpViewer();

    // The echo service client.
    NetHTTP1 = new TNetHTTP;
    NetHTTP1->Request().SetAccept("text/html, */*");
    NetHTTP1->Request().SetUserAgent("Mozilla/3.0 (compatible; Lumora)");
    NetHTTP1->Request().SetContentType("text/html");
    NetHTTP1->Request().SetContentLength(-1);
    NetHTTP1->SetAllowCookies(true);
    NetHTTP1->SetHTTPOptions(hoForceEncodeParams);
    NetHTTP1->SetReadTimeout(0);
    NetHTTP1->SetMaxLineAction(maException);
    NetHTTP1->ProxyParams().SetProxyPort(0);

    // The website uploader.
    NetFTP1 = new TNetFTP;
    NetFTP1->SetTransferType(ftASCII);
    NetFTP1->SetMaxLineAction(maException);
    NetFTP1->SetReadTimeout(0);
    NetFTP1->ProxySettings().ProxyType = fpcmNone;
    NetFTP1->ProxySettings().Port = 0;
}

void TForm1::DestroyComponents()
{
    delete HTML;
    HTML = nullptr;
    // Members leave the graph before it goes.
    delete ASFWriter;
    ASFWriter = nullptr;
    delete VideoWindow1;
    VideoWindow1 = nullptr;
    delete Filter1;
    Filter1 = nullptr;
    delete FilterGraph1;
    FilterGraph1 = nullptr;
    delete NetFTP1;
    NetFTP1 = nullptr;
    delete NetHTTP1;
    NetHTTP1 = nullptr;
    DeviceEnum.reset();
}
