// Where every control of the window sits. The files that make the controls
// give them names only; all places are in the tables below, one per column
// or page, so that two controls can never be put on the same pixels by two
// files that do not know of each other.
#include "app/Unit1.h"

#include <QAbstractScrollArea>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QStyle>
#include <QTabBar>
#include <QTabWidget>
#include <QTreeWidget>
#include <QWidget>

#include <algorithm>
#include <vector>

namespace {

// A control's name and its rectangle in its parent's coordinates.
struct TPlace {
    const char* Name;
    int Left, Top, Width, Height;
};

// The client area: the left column, the pages and the status bar.
constexpr TPlace ClientArea[] = {
    {"TreeView1", 4, 4, 117, 285},
    {"Panel1", 4, 293, 117, 40},
    {"lblCredit", 2, 2, 113, 36},
    {"lblViewers", 2, 2, 113, 36}, // over the credit while streaming
    {"Label7", 4, 338, 117, 18},
    {"btnStart", 4, 358, 117, 25},
    {"btnStop", 4, 386, 117, 25},
    {"PageControl1", 128, 4, 365, 409},
    {"StatusBar1", 0, 415, 498, 19},
};

constexpr TPlace VideoPage[] = {
    {"Panel4", 8, 8, 343, 248},
    {"GroupBox4", 8, 262, 343, 110},
    {"cbSource", 10, 20, 323, 22},
    {"btnPreview", 10, 50, 75, 25},
    {"btnCrossbar", 92, 50, 75, 25},
    {"btnConfigure", 174, 50, 75, 25},
    {"cbAutoStart", 10, 82, 150, 18},
    // Sound, in the group's free space right of the buttons and the box.
    {"pbAudioLevel", 256, 56, 77, 12},
    {"cbAudio", 164, 80, 112, 22},
    {"cbMute", 280, 82, 53, 18},
};

// The settings, then the watch address (outside the settings group, which
// greys while streaming), then the relay, then who may watch.
constexpr TPlace NetworkPage[] = {
    {"GroupBox3", 8, 8, 343, 178},
    {"lblBitrate", 10, 22, 160, 16},
    {"cbProfiles", 10, 40, 160, 22},
    {"lblLAN", 10, 74, 160, 16},
    {"lblLANScheme", 10, 94, 34, 16},
    {"edIPAddress", 44, 92, 160, 21},
    {"lblColon", 208, 94, 8, 16},
    {"lblPort", 220, 74, 60, 16},
    {"edPort", 220, 92, 60, 21},
    {"lblWAN", 10, 126, 160, 16},
    {"lblWANScheme", 10, 146, 34, 16},
    {"edWAN", 44, 144, 236, 21},
    // Beside the bitrate list: the router box, the browsers' bitrate and
    // one line of what the router said (whole in its tooltip and the status
    // bar).
    {"cbPortMapping", 176, 20, 162, 16},
    {"lblBrowserBitrate", 176, 40, 86, 16},
    {"edBrowserBitrate", 262, 38, 76, 21},
    {"lblReachability", 176, 60, 162, 14},
    {"lblRouterAddress", 176, 126, 162, 16},
    {"lblWatch", 18, 194, 112, 16},
    {"edWatch", 130, 192, 211, 21},
    {"GroupBox5", 8, 242, 343, 100},
    {"cbRelay", 10, 24, 70, 18},
    {"edRelayURL", 82, 22, 251, 21},
    {"lblRelayStatusCaption", 10, 54, 70, 16},
    {"lblRelayStatus", 82, 54, 251, 36},
    {"cbViewerPassword", 16, 350, 160, 18},
    {"edViewerPassword", 180, 348, 110, 21},
    // The link while a password is asked for; otherwise, in its place, the
    // hint that the published page leads anyone to the stream.
    {"btnPrivateLink", 16, 374, 100, 23},
    {"edPrivateLink", 122, 375, 221, 21},
    {"lblOpenStream", 16, 377, 327, 16},
};

// The FTP security choice belongs to the server settings and greys with them.
constexpr TPlace WebsitePage[] = {
    {"GroupBox2", 8, 8, 343, 164},
    {"cbFTP", 10, 20, 320, 18},
    {"lblFTPServer", 10, 50, 80, 16},
    {"edRemoteHost", 100, 48, 233, 21},
    {"lblUsername", 10, 78, 80, 16},
    {"edUsername", 100, 76, 233, 21},
    {"lblPassword", 10, 106, 80, 16},
    {"edPassword", 100, 104, 233, 21},
    {"lblSecurity", 10, 134, 80, 16},
    {"cbSecurity", 100, 132, 110, 22},
    {"GroupBox1", 8, 180, 343, 170},
    {"lblTemplate", 10, 22, 100, 16},
    {"edTemplate", 10, 40, 240, 21},
    {"btnBrowse", 258, 38, 75, 25},
    {"lblLocal", 10, 68, 100, 16},
    {"edLocal", 10, 86, 240, 21},
    {"Button1", 258, 84, 75, 25},
    {"lblRemote", 10, 114, 100, 16},
    {"edFile", 10, 132, 240, 21},
    {"btnUpload", 258, 130, 75, 25},
    {"lblLastUpload", 10, 358, 341, 16},
};

// The IPv6 address below the watch address, and the picture
// upload on the Website page's last row.
constexpr TPlace OutsidePlaces[] = {
    {"lblIPv6", 18, 218, 80, 16},
    {"edIPv6", 100, 216, 241, 21},
    {"cbSnapshot", 10, 380, 130, 18},
    {"edSnapshot", 142, 379, 100, 21},
    {"lblSnapshotEvery", 246, 381, 32, 16},
    {"edSnapshotSeconds", 280, 379, 44, 21},
    {"lblSnapshotUnit", 328, 381, 16, 16},
};

constexpr TPlace HelpPage[] = {
    {"HTMLHost", 4, 4, 349, 350},
    {"Label15", 8, 360, 160, 16},
    {"Label16", 168, 360, 185, 16},
};

template <size_t N>
void Place(QWidget& root, const TPlace (&places)[N])
{
    for (const TPlace& p : places)
        if (auto* w = root.findChild<QWidget*>(QString::fromLatin1(p.Name)))
            w->setGeometry(p.Left, p.Top, p.Width, p.Height);
}

// The controls of a table that take focus by Tab, in the table's order; a
// plain host widget (the help viewer's) stands for the controls inside it.
template <size_t N>
void CollectTabOrder(QWidget& root, const TPlace (&places)[N], std::vector<QWidget*>& order)
{
    auto add = [&order](QWidget* w) {
        if ((w->focusPolicy() & Qt::TabFocus) && std::find(order.begin(), order.end(), w) == order.end())
            order.push_back(w);
    };
    for (const TPlace& p : places) {
        auto* w = root.findChild<QWidget*>(QString::fromLatin1(p.Name));
        if (!w)
            continue;
        add(w);
        if (w->metaObject() == &QWidget::staticMetaObject)
            for (QWidget* inner : w->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
                add(inner);
    }
}

} // namespace

void TForm1::LayOutWindow()
{
    Place(*this, ClientArea);
    Place(*TabSheet1, VideoPage);
    Place(*TabSheet2, NetworkPage);
    Place(*TabSheet3, WebsitePage);
    Place(*TabSheet4, HelpPage);
    Place(*TabSheet2, OutsidePlaces);
    Place(*TabSheet3, OutsidePlaces);
}

void TForm1::ApplyTabOrder()
{
    // The tree, then the shown page's controls in reading order (the focus
    // chain skips hidden pages), then Start and Stop.
    std::vector<QWidget*> order {TreeView1};
    CollectTabOrder(*TabSheet1, VideoPage, order);
    CollectTabOrder(*TabSheet2, NetworkPage, order);
    CollectTabOrder(*TabSheet2, OutsidePlaces, order);
    CollectTabOrder(*TabSheet3, WebsitePage, order);
    CollectTabOrder(*TabSheet3, OutsidePlaces, order);
    CollectTabOrder(*TabSheet4, HelpPage, order);
    order.push_back(btnStart);
    order.push_back(btnStop);
    for (size_t i = 1; i < order.size(); ++i)
        QWidget::setTabOrder(order[i - 1], order[i]);
}

void TForm1::SetClientArea(QWidget* client)
{
    // The client area has the size the form's design gives it. It sits in a
    // frameless scroll area that shows scroll bars only when the screen is
    // too small for the window (FitToScreen); otherwise nothing of it shows.
    auto* scroller = new QScrollArea(this);
    scroller->setObjectName("ClientScroller");
    scroller->setFrameShape(QFrame::NoFrame);
    scroller->setFocusPolicy(Qt::NoFocus);
    scroller->setWidgetResizable(false);
    scroller->setWidget(client);
    // Drawn over the window's own background, as a plain client area is.
    scroller->viewport()->setAutoFillBackground(false);
    client->setAutoFillBackground(false);
    setCentralWidget(scroller);
    setFixedSize(client->size());
}

void TForm1::FitToScreen()
{
    // A screen smaller than the window (a small display at a large scale)
    // gets a window as large as it can hold, whose content scrolls; on any
    // screen that holds the window nothing changes.
    auto* scroller = static_cast<QScrollArea*>(centralWidget());
    QWidget* client = scroller->widget();
    const QScreen* shown = screen();
    if (!shown)
        return;
    const QRect available = shown->availableGeometry();
    // Until the window manager has framed the window its frame is unknown:
    // leave room for a usual one meanwhile (this runs again once it is known).
    QSize frame = frameGeometry().size() - geometry().size();
    if (frame.isNull())
        frame = QSize(8, style()->pixelMetric(QStyle::PM_TitleBarHeight) + 8);
    const QSize room = available.size() - frame;
    QSize size = client->size();
    if (size.width() <= room.width() && size.height() <= room.height()) {
        setFixedSize(size);
        return;
    }
    // Each scroll bar needs room of its own, and needing one may bring the other.
    const int bar = style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, scroller);
    const bool wide = size.width() > room.width();
    const bool tall = size.height() > room.height();
    size = QSize(std::min(room.width(), size.width() + (tall ? bar : 0)),
                 std::min(room.height(), size.height() + (wide ? bar : 0)));
    setFixedSize(size);
    move(available.topLeft());
}
