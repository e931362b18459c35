// The main window: controls, components, start-up and shut-down.
#include "app/Unit1.h"

#include "app/AntiFreeze.h"
#include "app/BackgroundRequest.h"
#include "app/SnapshotUploader.h"
#include "app/Resources.h"
#include "app/StatusPanel.h"
#include "app/Unit1PortMapping.h"
#include "app/Unit1Audio.h"
#include "app/Unit1Relay.h"
#include "media/MediaKit.h"
#include "media/SysDevEnum.h"
#include "net/NetFTP.h"
#include "net/NetHTTP.h"
#include "platform/dshow/DeviceEnum.h"
#include "platform/ini/IniFile.h"
#include "platform/ini/PrivateProfile.h"
#include "platform/ui/Application.h"
#include "platform/ui/Dialogs.h"
#include "platform/ui/Resources.h"
#include "app/ProgramFolders.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFrame>
#include <QGuiApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QTabBar>
#include <QTabWidget>
#include <QTimer>
#include <QTreeWidget>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

// ---- program-relative files ---------------------------------------------------

std::string TProgramFiles::ParkedWriterName() const
{
    return fs::path(BasePath).replace_extension().string() + "tmp";
}

TProgramFiles ResolveProgramFiles(const std::string& exePath, const std::string& explicitSettings)
{
    TProgramFiles files;
    const fs::path exe(exePath);
    const fs::path folder = exe.has_parent_path() ? exe.parent_path() : fs::path(".");
    if (::access(folder.c_str(), W_OK) == 0 && !IsInstalledProgram(exePath)) {
        files.BasePath = exePath;
    } else {
        // An installed program never writes beside itself; keep its files per user.
        fs::path config;
        if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg)
            config = xdg;
        else if (const char* home = std::getenv("HOME"); home && *home)
            config = fs::path(home) / ".config";
        else
            config = fs::temp_directory_path();
        const fs::path dir = config / "lumora";
        std::error_code ec;
        fs::create_directories(dir, ec);
        files.BasePath = (dir / "lumora").string();
    }
    files.SettingsFile = explicitSettings.empty() ? fs::path(files.BasePath).replace_extension(".ini").string()
                                                  : explicitSettings;
    return files;
}

std::string ApplyRemotePageExtension(const std::string& name)
{
    if (name.empty())
        return name;
    // The extension starts at the last "." that no "\" or ":" follows.
    size_t dot = std::string::npos;
    for (size_t i = name.size(); i-- > 0;) {
        if (name[i] == '\\' || name[i] == ':')
            break;
        if (name[i] == '.') {
            dot = i;
            break;
        }
    }
    const std::string ext = dot == std::string::npos ? std::string() : name.substr(dot);
    if (ext == ".htm" || ext == ".php")
        return name;
    return (dot == std::string::npos ? name : name.substr(0, dot)) + ".htm";
}

// ---- construction ------------------------------------------------------------------

TForm1::TForm1(TStartOptions options, QWidget* parent)
    : QMainWindow(parent), Options(std::move(options))
{
    setObjectName("Form1");
    Application::Instance().SetMainForm(this);
    Files = ResolveProgramFiles(Application::Instance().ExeName(), Options.SettingsFile);
    RegisterEmbeddedResources();
    BuildControls();
    CreateComponents();
    ConnectHandlers();
    SetUpKeyboard();
    if (Options.Unseen)
        Panel4->hide(); // and with it the video window and the renderer's own
    // Window creation runs the start-up sequence; a failure is shown and the
    // window opens with what was set up so far.
    RunGuarded([this] { FormCreate(); });
}

namespace {
template <class W>
W* Named(W* w, const char* name)
{
    w->setObjectName(name);
    return w;
}

QLabel* MakeLabel(QWidget* parent, const char* name, const char* text)
{
    return Named(new QLabel(QString::fromUtf8(text), parent), name);
}

QLineEdit* MakeEdit(QWidget* parent, const char* name, bool readOnly = false)
{
    auto* e = Named(new QLineEdit(parent), name);
    if (readOnly) {
        e->setReadOnly(true);
        QPalette p = e->palette();
        p.setColor(QPalette::Base, QColor(0xC0, 0xC0, 0xC0));
        e->setPalette(p);
    }
    return e;
}

QPushButton* MakeButton(QWidget* parent, const char* name, const char* caption)
{
    return Named(new QPushButton(QString::fromUtf8(caption), parent), name);
}

QTimer* MakeTimer(QObject* parent, const char* name, int interval)
{
    auto* t = Named(new QTimer(parent), name);
    t->setInterval(interval);
    t->setSingleShot(false);
    return t;
}
} // namespace

void TForm1::BuildControls()
{
    // The controls and their names; where each one sits is LayOutWindow's.
    setWindowTitle("Lumora");
    QFont font("Arial");
    font.setPixelSize(11);
    setFont(font);
    // A fixed-size window: no maximise button.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);

    auto* client = new QWidget;
    client->setObjectName("ClientArea");
    client->setFixedSize(498, 434);
    SetClientArea(client);

    // Left column.
    TreeView1 = Named(new QTreeWidget(client), "TreeView1");
    TreeView1->setHeaderHidden(true);
    TreeView1->setRootIsDecorated(false);
    TreeView1->setEditTriggers(QAbstractItemView::NoEditTriggers);
    for (const char* node : {"Video Source", "Network", "Website", "Help"})
        TreeView1->addTopLevelItem(new QTreeWidgetItem(QStringList(QString::fromUtf8(node))));

    Panel1 = Named(new QFrame(client), "Panel1");
    Panel1->setFrameShape(QFrame::StyledPanel);
    MakeLabel(Panel1, "lblCredit", "Lumora\nlive webcam streaming")->setAlignment(Qt::AlignCenter);

    Label7 = Named(new QLabel("ENCODING", client), "Label7");
    Label7->setAlignment(Qt::AlignCenter);
    QFont encodingFont("Arial");
    encodingFont.setPixelSize(12);
    encodingFont.setBold(true);
    Label7->setFont(encodingFont);
    Label7->setStyleSheet("color: green;");
    Label7->setVisible(false);

    btnStart = MakeButton(client, "btnStart", "Start");
    btnStop = MakeButton(client, "btnStop", "Stop");
    btnStart->setEnabled(false);
    btnStop->setEnabled(false);

    // Pages.
    PageControl1 = Named(new QTabWidget(client), "PageControl1");
    TabSheet1 = Named(new QWidget, "TabSheet1");
    TabSheet2 = Named(new QWidget, "TabSheet2");
    TabSheet3 = Named(new QWidget, "TabSheet3");
    TabSheet4 = Named(new QWidget, "TabSheet4");
    PageControl1->addTab(TabSheet1, "Video");
    PageControl1->addTab(TabSheet2, "Network");
    PageControl1->addTab(TabSheet3, "Website");
    PageControl1->addTab(TabSheet4, "Help");

    // Video page.
    Panel4 = Named(new QFrame(TabSheet1), "Panel4");
    Panel4->setAutoFillBackground(true);
    QPalette black = Panel4->palette();
    black.setColor(QPalette::Window, Qt::black);
    Panel4->setPalette(black);
    GroupBox4 = Named(new QGroupBox("Video Source", TabSheet1), "GroupBox4");
    cbSource = Named(new QComboBox(GroupBox4), "cbSource");
    btnPreview = MakeButton(GroupBox4, "btnPreview", "Preview");
    btnCrossbar = MakeButton(GroupBox4, "btnCrossbar", "Crossbar");
    btnConfigure = MakeButton(GroupBox4, "btnConfigure", "Configure");
    btnCrossbar->setEnabled(false);
    btnConfigure->setEnabled(false);
    cbAutoStart = Named(new QCheckBox("Auto Start", GroupBox4), "cbAutoStart");

    // Network page.
    GroupBox3 = Named(new QGroupBox("Network Settings ", TabSheet2), "GroupBox3");
    MakeLabel(GroupBox3, "lblBitrate", "Network bitrate");
    cbProfiles = Named(new QComboBox(GroupBox3), "cbProfiles");
    for (const char* row : {"256 Kbps (CBR)", "128 Kbps (CBR)", "93 Kbps (CBR)", "56 Kbps (CBR)", "32 Kbps (CBR)",
                            "28.8 Kbps (CBR)", "20 Kbps (CBR)"})
        cbProfiles->addItem(row);
    cbProfiles->setCurrentIndex(2);
    MakeLabel(GroupBox3, "lblLAN", "Local (LAN) address");
    MakeLabel(GroupBox3, "lblLANScheme", "http://");
    edIPAddress = MakeEdit(GroupBox3, "edIPAddress", true);
    auto* colon = MakeLabel(GroupBox3, "lblColon", ":");
    QFont bold = colon->font();
    bold.setBold(true);
    colon->setFont(bold);
    MakeLabel(GroupBox3, "lblPort", "Port");
    edPort = MakeEdit(GroupBox3, "edPort");
    edPort->setText("80");
    MakeLabel(GroupBox3, "lblWAN", "Internet (WAN) address");
    MakeLabel(GroupBox3, "lblWANScheme", "http://");
    edWAN = MakeEdit(GroupBox3, "edWAN", true);
    BuildRelayControls();
    BuildPortMappingControls();
    Audio = std::make_unique<TAudioController>(*this);
    Audio->BuildControls();

    // Website page.
    GroupBox2 = Named(new QGroupBox("Website FTP Server ", TabSheet3), "GroupBox2");
    cbFTP = Named(new QCheckBox("Automatically update web page when required", GroupBox2), "cbFTP");
    MakeLabel(GroupBox2, "lblFTPServer", "FTP Server");
    edRemoteHost = MakeEdit(GroupBox2, "edRemoteHost");
    MakeLabel(GroupBox2, "lblUsername", "Username");
    edUsername = MakeEdit(GroupBox2, "edUsername");
    MakeLabel(GroupBox2, "lblPassword", "Password");
    edPassword = MakeEdit(GroupBox2, "edPassword");
    edPassword->setEchoMode(QLineEdit::Password);
    // The password is masked with "+" as the form's design asks.
    edPassword->setStyleSheet("lineedit-password-character: 43;");

    GroupBox1 = Named(new QGroupBox("Web Page ", TabSheet3), "GroupBox1");
    MakeLabel(GroupBox1, "lblTemplate", "Template");
    edTemplate = MakeEdit(GroupBox1, "edTemplate");
    btnBrowse = MakeButton(GroupBox1, "btnBrowse", "Browse");
    MakeLabel(GroupBox1, "lblLocal", "Local web page");
    edLocal = MakeEdit(GroupBox1, "edLocal");
    Button1 = MakeButton(GroupBox1, "Button1", "Browse");
    MakeLabel(GroupBox1, "lblRemote", "Remote web page");
    edFile = MakeEdit(GroupBox1, "edFile");
    btnUpload = MakeButton(GroupBox1, "btnUpload", "Upload");
    CreateWebSecurityControls();
    // The last upload's result stays here until the next upload.
    lblLastUpload = Named(new TStatusPanel(TabSheet3), "lblLastUpload");

    // Help page.
    HTMLHost = Named(new QWidget(TabSheet4), "HTMLHost");
    Label15 = Named(new QLabel("More details on my website at ", TabSheet4), "Label15");
    // The caption ends where the link begins: they read as one sentence.
    Label15->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    Label16 = Named(new QLabel("the Lumora help page", TabSheet4), "Label16");
    Label16->setToolTip(QString::fromStdString(ManualFile()));
    Label16->setStyleSheet("color: blue; text-decoration: underline;");
    Label16->setMouseTracking(true);

    // Status bar with its two panels.
    StatusBar1 = Named(new QStatusBar(client), "StatusBar1");
    StatusBar1->setSizeGripEnabled(false);
    StatusPanel0 = Named(new TStatusPanel(StatusBar1), "StatusPanel0");
    StatusPanel0->setAlignment(Qt::AlignCenter);
    StatusPanel0->setFixedWidth(128);
    StatusPanel1 = Named(new TStatusPanel(StatusBar1), "StatusPanel1");
    StatusPanel1->setMinimumWidth(50);
    StatusBar1->addWidget(StatusPanel0);
    StatusBar1->addWidget(StatusPanel1, 1);

    tmrStartButtonUpload = MakeTimer(this, "tmrStartButtonUpload", 10000);
    tmrMain = MakeTimer(this, "tmrMain", 900000);
    tmrMessage = MakeTimer(this, "tmrMessage", 4000);
    tmrManualUpload = MakeTimer(this, "tmrManualUpload", 5000);
    BuildViewerControls();
    BuildViewerAccessControls();
    BuildOutsideControls();
    BuildBrowserBitrateControls();
    LayOutWindow();

    OpenDialog1.DefaultExt = "txt";
    OpenDialog1.Filter = "HTML Files (*.htm;*html)|*.htm;*.html|All Files (*.*)|*.*";
    SaveDialog1.Filter = "HTML Files (*.htm; *.html)|*.htm;*.html|All Files (*.*)|*.*";
}

std::string TForm1::ManualFile()
{
    const fs::path exe(Application::Instance().ExeName());
    const fs::path folder = exe.parent_path();
    for (const fs::path& candidate : {folder / "manual.html", folder.parent_path() / "share/doc/lumora/manual.html",
                                      fs::path(LUMORA_BUILD_MANUAL)}) {
        std::error_code ec;
        if (fs::is_regular_file(candidate, ec))
            return fs::absolute(candidate, ec).lexically_normal().string();
    }
    return {};
}

void TForm1::showEvent(QShowEvent* event)
{
    // Centred on the screen when first shown.
    if (!m_centred && !event->spontaneous() && screen()) {
        move(screen()->availableGeometry().center() - rect().center());
        m_centred = true;
        FitToScreen();
    }
    QMainWindow::showEvent(event);
}

void TForm1::moveEvent(QMoveEvent* event)
{
    // The window manager's frame is known once it has placed the window.
    QMainWindow::moveEvent(event);
    if (m_centred)
        FitToScreen();
}

void TForm1::closeEvent(QCloseEvent* event)
{
    // A close during a request to a peer gives the request up; the window
    // closes as soon as the handler that made the request has returned.
    if (AntiFreeze && AntiFreeze->Busy()) {
        AntiFreeze->Abandon();
        event->ignore();
        if (!m_closeQueued) {
            m_closeQueued = true;
            // Cleared when it runs: if a request is still unwinding then,
            // this close queues itself once more instead of being lost.
            QTimer::singleShot(0, this, [this] {
                m_closeQueued = false;
                close();
            });
        }
        return;
    }
    bool canClose = true;
    RunGuarded([&] { FormCloseQuery(canClose); });
    if (canClose)
        event->accept();
    else
        event->ignore();
}

// ---- start-up and shut-down ----------------------------------------------------

void TForm1::FormCreate()
{
    // The settings; the source row is selected once the list is filled.
    int32_t savedSource = 0;
    std::string savedSourceText;
    std::string savedProfileText;
    std::vector<std::string> notices;
    if (const std::string refusal = SettingsFileRefusal(Files.SettingsFile); !refusal.empty())
        notices.push_back(refusal);
    {
        TIniFile ini(Files.SettingsFile);
        savedSource = ini.ReadInteger("Video", "Source", 0);
        savedSourceText = ini.ReadString("Video", "Source", "");
        cbAutoStart->setChecked(ini.ReadBool("Video", "Auto", false));
        cbFTP->setChecked(ini.ReadBool("Web", "Update", false));
        edRemoteHost->setText(QString::fromStdString(ini.ReadString("Web", "Host", "")));
        edUsername->setText(QString::fromStdString(ini.ReadString("Web", "Username", "")));
        edPassword->setText(QString::fromStdString(ini.ReadString("Web", "Password", "")));
        edTemplate->setText(QString::fromStdString(ini.ReadString("Web", "Template", "")));
        edLocal->setText(QString::fromStdString(ini.ReadString("Web", "Local", "")));
        edFile->setText(QString::fromStdString(ini.ReadString("Web", "File", "")));
        ReadWebSecuritySettings(ini);
        edPort->setText(QString::fromStdString(ini.ReadString("Network", "Port", "8080")));
        ProfileIndex = ini.ReadInteger("Network", "Profile", 2);
        savedProfileText = ini.ReadString("Network", "Profile", "");
        LastUploadedIP = ini.ReadString("IP", "Last", "");
        Relay->Load(ini);
        PortMapping->Load(ini);
        Audio->Load(ini);
        ReadViewerAccessSettings(ini);
        ReadOutsideSettings(ini);
        ReadBrowserSettings(ini);
    }
    ReportUnwritableSettings();
    if (!Options.RelayUrl.empty())
        Relay->OverrideForThisRun(Options.RelayUrl);

    // The video input devices, listed by name.
    DeviceEnum = std::make_unique<TSysDevEnum>(CLSID_VideoInputDeviceCategory);
    {
        const QSignalBlocker block(cbSource);
        for (int i = 0; i < DeviceEnum->DeviceCount(); ++i)
            cbSource->addItem(QString::fromStdString(DeviceEnum->DeviceInfo(i).FriendlyName));

        // The saved source; a value that is not a row of the list falls
        // back to the first source, and the user is told.
        // "-1" is what a program without any source saves; with no source
        // at all there is nothing to fall back to.
        const bool sourceValid = savedSourceText.empty() || savedSourceText == "-1" || cbSource->count() == 0 ||
                                 (IsPlainDecimal(savedSourceText) && savedSource < cbSource->count());
        if (!sourceValid) {
            savedSource = 0;
            notices.push_back("The saved video source " + savedSourceText + " is not in the list of " +
                              std::to_string(cbSource->count()) + " sources; the first one is used.");
        }
        cbSource->setCurrentIndex(savedSource >= 0 && savedSource < cbSource->count() ? savedSource : -1);
    }

    // The audio inputs, the chosen camera's microphone first.
    Audio->ListInputs();

    // The saved bitrate row, without building the profile; a value that is
    // not a row falls back to the default row, and the user is told.
    {
        const QSignalBlocker block(cbProfiles);
        const bool profileValid = savedProfileText.empty() ||
                                  (IsPlainDecimal(savedProfileText) && ProfileIndex < cbProfiles->count());
        if (!profileValid) {
            ProfileIndex = 2;
            notices.push_back("The saved stream profile " + savedProfileText + " is not in the list; " +
                              cbProfiles->itemText(ProfileIndex).toStdString() + " is used.");
        }
        cbProfiles->setCurrentIndex(ProfileIndex >= 0 && ProfileIndex < cbProfiles->count() ? ProfileIndex : -1);
    }
    if (!notices.empty())
        ShowNoticeLines(notices);

    // Pages are reached through the tree only.
    PageControl1->tabBar()->hide();
    PageControl1->setCurrentWidget(TabSheet1);

    // The sample template, never overwriting the user's.
    if (!FileExists("template.htm"))
        SaveResourceToFile("TEMPLATE", "template.htm");

    LoadHelpPage();

    // SourceIndex is still 0 here, so Start is enabled even without devices.
    btnStart->setEnabled(SourceIndex > -1);

    AutoStart();
}

void TForm1::ShowNoticeLines(const std::vector<std::string>& lines)
{
    // Lines given together share the status bar; each is printed alone.
    std::string shown;
    for (const std::string& line : lines)
        shown += (shown.empty() ? "" : "  ") + line;
    StatusPanel1->setText(QString::fromStdString(shown));
    if (QGuiApplication::platformName() == QLatin1String("offscreen")) {
        for (const std::string& line : lines)
            std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    }
}

void TForm1::FormCloseQuery(bool& CanClose)
{
    // A failure of the close-time stop or of the settings file is reported
    // once, and the window closes all the same: a close is never refused.
    RunGuarded([this] { CloseTimeStop(); });
    RunGuarded([this] { SaveSettings(); });
    CanClose = true;
}

void TForm1::ReportUnwritableSettings()
{
    // Saving happens only at close; a user who cannot save learns it now,
    // before changing anything. The file is replaced through a temporary
    // file beside it, so its folder must be writable too.
    const fs::path file(Files.SettingsFile);
    const fs::path folder = file.has_parent_path() ? file.parent_path() : fs::path(".");
    std::error_code ec;
    const bool writable = ::access(folder.c_str(), W_OK) == 0 &&
                          (!fs::exists(file, ec) || ::access(file.c_str(), W_OK) == 0);
    if (!writable)
        ShowMessage(Format("Unable to write to %s\n"
                           "Your settings will not be saved when Lumora closes. Make that folder writable, "
                           "or start Lumora with --settings and a file you can write.",
                           Files.SettingsFile.c_str()));
}

void TForm1::SaveSettings()
{
    // The keys in the order they are read; a key that cannot be written ends
    // the save with "Unable to write to ...".
    TIniFile ini(Files.SettingsFile);
    ini.WriteInteger("Video", "Source", cbSource->currentIndex());
    ini.WriteBool("Video", "Auto", cbAutoStart->isChecked());
    ini.WriteBool("Web", "Update", cbFTP->isChecked());
    ini.WriteString("Web", "Host", edRemoteHost->text().toStdString());
    ini.WriteString("Web", "Username", edUsername->text().toStdString());
    ini.WriteString("Web", "Password", edPassword->text().toStdString());
    ini.WriteString("Web", "Template", edTemplate->text().toStdString());
    ini.WriteString("Web", "Local", edLocal->text().toStdString());
    ini.WriteString("Web", "File", edFile->text().toStdString());
    WriteWebSecuritySettings(ini);
    ini.WriteString("Network", "Port", edPort->text().toStdString());
    ini.WriteInteger("Network", "Profile", ProfileIndex);
    ini.WriteString("IP", "Last", LastUploadedIP);
    Relay->Save(ini);
    PortMapping->Save(ini);
    Audio->Save(ini);
    WriteViewerAccessSettings(ini);
    WriteOutsideSettings(ini);
    WriteBrowserSettings(ini);
}
