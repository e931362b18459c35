// The window's non-visual components: created with the window, destroyed
// before it (members leave their graph before the graph goes).
#include "app/Unit1.h"

#include "media/SysDevEnum.h"
#include "net/NetFTP.h"
#include "net/NetHTTP.h"

void TForm1::CreateComponents()
{
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
    delete NetFTP1;
    NetFTP1 = nullptr;
    delete NetHTTP1;
    NetHTTP1 = nullptr;
    DeviceEnum.reset();
}
