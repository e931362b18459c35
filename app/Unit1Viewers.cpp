// The viewers while streaming: their number inside the credit panel, a line
// per join and leave on standard output (what a headless run shows), and
// the address of the browser watch page on the Network page.
#include "app/Unit1.h"
#include "app/Unit1Audio.h"

#include "media/MediaKit.h"
#include "platform/ui/Application.h"
#include "live/browser/BrowserSide.h"
#include "platform/wmf/PictureTap.h"

#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QTimer>

#include <cstdio>

namespace {


QString ViewersText(uint32_t count)
{
    return count == 1 ? QStringLiteral("1 viewer") : QString::number(count) + QStringLiteral(" viewers");
}

} // namespace

void TForm1::BuildViewerControls()
{
    // Over the credit caption, which it hides while streaming; the panel's
    // place and size stay.
    lblViewers = new QLabel(Panel1);
    lblViewers->setObjectName("lblViewers");
    lblViewers->setAlignment(Qt::AlignCenter);
    lblViewers->setAutoFillBackground(true);
    lblViewers->setVisible(false);

    // Outside GroupBox3, which is disabled while streaming: the address must
    // stay selectable then.
    auto* caption = new QLabel("Watch in a browser", TabSheet2);
    caption->setObjectName("lblWatch");
    edWatch = new QLineEdit(TabSheet2);
    edWatch->setObjectName("edWatch");
    edWatch->setReadOnly(true);
    edWatch->setPlaceholderText("http://LAN:PORT/watch while streaming");

    tmrViewers = new QTimer(this);
    tmrViewers->setObjectName("tmrViewers");
    tmrViewers->setInterval(250);
    connect(tmrViewers, &QTimer::timeout, this, Guarded([this] { tmrViewersTimer(); }));
}

void TForm1::ViewersStarted()
{
    // Kept until Stop, so the leaves of the last viewers are still shown
    // once the sink has closed.
    m_viewerSource = nullptr;
    if (ASFWriter->NetworkSink())
        m_viewerSource = ASFWriter->NetworkSink().As<IUnknown>();
    if (const ComPtr<IWMWriterSinkRoutes> sink = m_viewerSource.As<IWMWriterSinkRoutes>())
        sink->TakeViewerChanges();
    Browsers->SetStreamLabel(cbProfiles->currentText().toStdString());
    if (const ComPtr<IWMWriterPictureTap> tap = Supports<IWMWriterPictureTap>(*ASFWriter))
        Browsers->SetPictureTap(tap->GetPictureTap());
    // Sound in the browsers' H.264 while it is on (MJPEG stays silent).
    Browsers->SetSound(Audio->On() ? SoundTrack::On : SoundTrack::Off);
    BrowserSound = Audio->FeedOutput([browsers = Browsers](const TappedAudio& audio) { browsers->FeedAudio(audio); });
    edWatch->setText("http://" + edIPAddress->text() + ":" + QString::number(ASFWriter->Port()) + "/watch");
    lblViewers->setText(ViewersText(0));
    lblViewers->setVisible(true);
    ApplyViewerAccess(); // the private link with the port really opened
    tmrViewers->start();
    SnapshotsStarted();
}

void TForm1::ViewersStopped()
{
    tmrViewers->stop();
    SnapshotsStopped();
    tmrViewersTimer(); // the last leaves
    m_viewerSource = nullptr;
    BrowserSound.reset();
    Browsers->SetPictureTap(nullptr);
    lblViewers->setVisible(false);
    edWatch->clear();
}

void TForm1::tmrViewersTimer()
{
    const ComPtr<IWMWriterSinkRoutes> side = m_viewerSource.As<IWMWriterSinkRoutes>();
    if (!side)
        return;
    for (const ViewerChange& change : side->TakeViewerChanges())
        std::printf("Viewer %s: %s (%s), %u watching\n", change.joined ? "joined" : "left", change.address.c_str(),
            ViewerKindName(change.kind), change.viewers);
    ReportFailedLogins();
    std::fflush(stdout);
    lblViewers->setText(ViewersText(side->GetViewerCount()));
}
