#pragma once
// The main window: every control of the four pages, the non-visual
// components, the controller state, and the handlers that make the program's
// decisions. Handlers are grouped by concern in Unit1*.cpp files.

#include "app/AntiFreeze.h"
#include "platform/com/ComPtr.h"
#include "platform/wmf/ViewerAuth.h"

#include <QMainWindow>

#include <memory>
#include <string>
#include <vector>

class QCheckBox;
class QComboBox;
class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
class QStatusBar;
class QTabWidget;
class QTimer;
class QTreeWidget;
class QWidget;

class TSysDevEnum;
class TFilterGraph;
class TFilter;
class TVideoWindow;
class TASFWriter;
class TNetHTTP;
class TNetFTP;
class THtmlView;
class TWindowAntiFreeze;
class TNetIOHandlerTLS;
class TIniFile;
class TRelayController;
class TAudioController;
class BrowserSide;
class ViewerGate;
class TRelayUrlEdit;
class TPortMappingController;
class TBackgroundRequest;
class TSnapshotUploader;

// Settings of a file dialog component (filter, default extension, initial
// folder and name); shown through platform/ui's ExecuteFileDialog.
struct TFileDialogSettings {
    std::string Filter;
    std::string DefaultExt;
    std::string InitialDir;
    std::string FileName;
};

// Where the program keeps its own files: settings, the WAN page file and the
// parked writer name are all derived from one base path.
struct TProgramFiles {
    std::string BasePath;     // the program's path, or a per-user stand-in
    std::string SettingsFile; // BasePath with ".ini", unless chosen explicitly

    std::string WanPageFile() const;     // private to this process (runtime folder, 0600)
    std::string ParkedWriterName() const; // extension removed, "tmp" appended
};

// Command-line choices that reach the window.
struct TStartOptions {
    std::string SettingsFile; // --settings FILE
    std::string EchoUrl;      // --echo-url URL (or LUMORA_ECHO_URL)
    bool Start = false;       // --start
    bool Verbose = false;     // --verbose (or LUMORA_DEBUG=1)
    std::string RelayUrl;     // --relay URL: relay this run there, not saved
    // No display at all (the run without one): no one can see the window,
    // so the preview is never drawn and its pictures are not made.
    bool Unseen = false;
};

class TForm1 : public QMainWindow {
public:
    explicit TForm1(TStartOptions options = {}, QWidget* parent = nullptr);
    ~TForm1() override;

    // ---- controls (object names equal these member names) -------------------
    QTreeWidget* TreeView1 = nullptr;
    QFrame* Panel1 = nullptr;
    QLabel* Label7 = nullptr; // "ENCODING"
    QPushButton* btnStart = nullptr;
    QPushButton* btnStop = nullptr;
    QTabWidget* PageControl1 = nullptr;
    QWidget* TabSheet1 = nullptr;
    QWidget* TabSheet2 = nullptr;
    QWidget* TabSheet3 = nullptr;
    QWidget* TabSheet4 = nullptr;
    QStatusBar* StatusBar1 = nullptr;
    QLabel* StatusPanel0 = nullptr; // public address
    QLabel* StatusPanel1 = nullptr; // transient messages

    // Video page
    QFrame* Panel4 = nullptr;
    QGroupBox* GroupBox4 = nullptr;
    QComboBox* cbSource = nullptr;
    QPushButton* btnPreview = nullptr;
    QPushButton* btnCrossbar = nullptr;
    QPushButton* btnConfigure = nullptr;
    QCheckBox* cbAutoStart = nullptr;

    // Network page
    QGroupBox* GroupBox3 = nullptr;
    QComboBox* cbProfiles = nullptr;
    QLineEdit* edIPAddress = nullptr;
    QLineEdit* edPort = nullptr;
    QLineEdit* edWAN = nullptr;
    QLineEdit* edWatch = nullptr; // the browser watch page, below the Network Settings
    // The H.264 bitrate for browsers (Unit1BrowserBitrate.cpp), in the Network Settings.
    QLabel* lblBrowserBitrate = nullptr;  // "Browser bitrate"
    QSpinBox* edBrowserBitrate = nullptr; // kbps
    // Who may watch (Unit1ViewerAccess.cpp), below the relay.
    QCheckBox* cbViewerPassword = nullptr; // "Viewers need a password"
    QLineEdit* edViewerPassword = nullptr; // masked; emptied once the password is stored
    QPushButton* btnPrivateLink = nullptr; // "New private link"
    QLineEdit* edPrivateLink = nullptr;    // http://LAN:PORT/watch?k=TOKEN
    QLabel* lblOpenStream = nullptr;       // "Anyone who finds your web page can watch"

    // Inside Panel1 while streaming: how many watch.
    QLabel* lblViewers = nullptr;
    // The relay to a media server (Unit1Relay.cpp), below the settings.
    QGroupBox* GroupBox5 = nullptr;     // "Relay"
    QCheckBox* cbRelay = nullptr;       // "Relay to"
    TRelayUrlEdit* edRelayURL = nullptr;
    QLabel* lblRelayStatus = nullptr;   // "off", "connecting", "live 00:12:34" or the last error
    // Opening the stream port on the router (Unit1PortMapping.cpp), in the settings group.
    QCheckBox* cbPortMapping = nullptr;  // "Ask the router to open the port"
    QLabel* lblReachability = nullptr;   // whether viewers outside can reach the stream
    QLabel* lblRouterAddress = nullptr;  // the router's own public address, beside the echo's

    // Website page
    QGroupBox* GroupBox2 = nullptr;
    QCheckBox* cbFTP = nullptr;
    QLineEdit* edRemoteHost = nullptr;
    QLineEdit* edUsername = nullptr;
    QLineEdit* edPassword = nullptr;
    QGroupBox* GroupBox1 = nullptr;
    QLineEdit* edTemplate = nullptr;
    QPushButton* btnBrowse = nullptr;
    QLineEdit* edLocal = nullptr;
    QPushButton* Button1 = nullptr;
    QLineEdit* edFile = nullptr;
    QPushButton* btnUpload = nullptr;
    QComboBox* cbSecurity = nullptr; // "Auto", "TLS", "None": FTP over TLS
    QLabel* lblLastUpload = nullptr; // "Last upload: ...", kept until the next upload

    // Help page
    QWidget* HTMLHost = nullptr; // where the viewer sits
    THtmlView* HTML = nullptr;
    QLabel* Label15 = nullptr;
    QLabel* Label16 = nullptr;

    // ---- non-visual components ------------------------------------------------
    // Owned by the window; the video window is a child widget of Panel4.
    std::unique_ptr<TFilterGraph> FilterGraph1;
    std::unique_ptr<TFilter> Filter1;
    TVideoWindow* VideoWindow1 = nullptr;
    std::unique_ptr<TASFWriter> ASFWriter;
    // The watch page, MJPEG, snapshots and status on the stream's port.
    std::shared_ptr<BrowserSide> Browsers;
    std::shared_ptr<void> BrowserSound; // the audio tap feeding the browsers while sound is on
    // Every request on the stream's port passes it first.
    std::shared_ptr<ViewerGate> Gate;
    std::unique_ptr<TNetHTTP> NetHTTP1;
    std::unique_ptr<TNetFTP> NetFTP1;
    QTimer* tmrStartButtonUpload = nullptr;
    QTimer* tmrMain = nullptr;
    QTimer* tmrMessage = nullptr;
    QTimer* tmrManualUpload = nullptr;
    QTimer* tmrViewers = nullptr; // polls the network sink's viewers while streaming
    TFileDialogSettings OpenDialog1;
    TFileDialogSettings SaveDialog1;
    // Keeps the window painting while a request waits on its peer, and
    // bounds and abandons such requests.
    std::unique_ptr<TWindowAntiFreeze> AntiFreeze;
    // The echo client's transport: plain for http, TLS for https.
    std::unique_ptr<TNetIOHandlerTLS> EchoTLS;
    // [Web] TrustedFingerprint: the one certificate accepted although it
    // fails verification (a self-signed host).
    std::string TrustedFingerprint;
    TRequestLimits RequestLimits;
    std::unique_ptr<TRelayController> Relay;
    std::unique_ptr<TPortMappingController> PortMapping;
    // Sound (Unit1Audio.cpp): the audio choice and the audio capture source.
    std::unique_ptr<TAudioController> Audio;

    // ---- controller state -----------------------------------------------------
    int32_t SourceIndex = 0;
    int32_t ProfileIndex = 2;
    ComPtr<IUnknown> StreamProfile; // the edited Windows Media profile, or nil
    std::string LastUploadedIP;
    std::unique_ptr<TSysDevEnum> DeviceEnum;

    TProgramFiles Files;
    TStartOptions Options;
    // The crossbar input the user chose for the current source (-1: none);
    // applied again whenever the graph is rebuilt.
    long CrossbarInput = -1;

    // ---- start-up and shut-down ----------------------------------------------
    void FormCreate();
    void FormCloseQuery(bool& CanClose);
    void SaveSettings();

    // ---- source selection and preview -------------------------------------------
    void cbSourceChange();
    void btnPreviewClick();
    void btnCrossbarClick();
    void btnConfigureClick();

    // The graph's device-lost event: the camera went away (Removed) or is
    // back; the source keeps the stream going meanwhile.
    void FilterGraph1DeviceLost(bool Removed);

    // ---- stream profile ------------------------------------------------------------
    void cbProfilesClick();

    // ---- streaming start and stop ------------------------------------------------
    void btnStartClick();
    void btnStopClick();
    // True while the stream is served (between Start and Stop).
    bool Streaming() const;
    // The line a console user reads: what is streamed and where.
    std::string StreamingLine() const;

    // ---- viewers and the watch page (Unit1Viewers.cpp) -------------------------------
    void BuildViewerControls();
    void ViewersStarted(); // after the stream started
    void ViewersStopped();
    void tmrViewersTimer();

    // ---- the browsers' H.264 bitrate (Unit1BrowserBitrate.cpp) ------------------------
    void BuildBrowserBitrateControls();
    void ReadBrowserSettings(TIniFile& ini);
    void WriteBrowserSettings(TIniFile& ini);
    bool m_browserBitrateInFile = false;

    // ---- who may watch (Unit1ViewerAccess.cpp) --------------------------------------
    void BuildViewerAccessControls();
    void ReadViewerAccessSettings(TIniFile& ini);
    void WriteViewerAccessSettings(TIniFile& ini);
    // Hands the password and the link to the gate and updates the rows.
    void ApplyViewerAccess();
    void edViewerPasswordEditingFinished();
    void btnPrivateLinkClick();
    // "N failed logins from ADDRESS" in the status bar and on standard output.
    void ReportFailedLogins();

    // ---- IPv6 and the picture on the website (Unit1IPv6.cpp, Unit1Snapshot.cpp) -------
    QLineEdit* edIPv6 = nullptr;            // the machine's global IPv6 address (read-only; empty: none)
    QCheckBox* cbSnapshot = nullptr;        // "Upload a picture as"
    QLineEdit* edSnapshot = nullptr;        // its remote name, "webcam.jpg"
    QLineEdit* edSnapshotSeconds = nullptr; // every so many seconds (10 to 86400)
    std::string Echo6Url;                   // [Web] Echo6URL: the echo over IPv6 (empty: none)
    std::string PublicIPv6;                 // its last answer ("" until one came)
    int SnapshotIntervalMs = 0;             // tests only: an interval below a second (0: the field's)
    std::unique_ptr<TBackgroundRequest> Echo6;
    std::unique_ptr<TSnapshotUploader> Snapshots;
    // Reads the global IPv6 address again and starts the echo over IPv6
    // (its answer arrives later, on this thread).
    void LearnIPv6();
    // What "{IP6}" becomes: "[address]:port", or "" with no IPv6 address.
    std::string IPv6PageText(bool website) const;
    void SnapshotsStarted(); // after the stream started: uploads while it runs
    void SnapshotsStopped();

    // ---- addresses and pages -------------------------------------------------------
    void GetOutsideIP();
    void MakeLocalFile();
    void MakeWANFile();
    std::string EchoUrl() const;
    // The port the website page names: the router's external port while
    // one is open for the stream, else the stream's own port.
    std::string WanPagePortText() const;

    // ---- publishing and the website page ------------------------------------------
    void TreeView1Click();
    void TabSheet3Show();
    void btnBrowseClick();
    void Button1Click();
    void btnUploadClick();
    void tmrStartButtonUploadTimer();
    void tmrMainTimer();
    void tmrManualUploadTimer();
    void tmrMessageTimer();
    void Label16MouseMove();
    void Label16MouseLeave();
    void Label16Click();
    void UpLoadFile();
    // The local page for the timers: nothing without a name. Answers the
    // error's text when the page cannot be written, so the caller reports it
    // after the upload instead of giving the upload up.
    std::string MakeLocalFileBesideUpload();

    // ---- help page, automatic start -------------------------------------------------
    void LoadHelpPage();   // writes the embedded help page, shows it, removes it
    void AutoStart();      // Start at the end of start-up when Auto Start (or --start) asks
    void CloseTimeStop();  // Stop before the settings are saved when a graph runs

    // What the link label shows in the help viewer: the manual (README.md
    // rendered to HTML when the program was built) beside the program or in
    // the system's documentation folder, else the build tree's; empty when
    // none exists (the label then shows the help page's top).
    static std::string ManualFile();

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void moveEvent(QMoveEvent* event) override;

    // ---- the window's layout and keyboard (Unit1Layout.cpp, Unit1Keyboard.cpp) -----
    // Places every control; the only place that knows where controls sit.
    void LayOutWindow();
    // A screen smaller than the window: the window fits the screen and its
    // content scrolls. Otherwise the window keeps its designed size.
    void FitToScreen();

private:
    friend class TPortMappingController;
    void BuildControls();
    void SetClientArea(QWidget* client);
    void ApplyTabOrder();
    void SetUpKeyboard();
    void BuildRelayControls();
    void BuildPortMappingControls();
    void BuildOutsideControls();
    void ReadOutsideSettings(TIniFile& ini);
    void WriteOutsideSettings(TIniFile& ini);
    void BuildSnapshotControls();
    void ReadSnapshotSettings(TIniFile& ini);
    void WriteSnapshotSettings(TIniFile& ini);
    int SnapshotSeconds() const;
    std::string SnapshotRemoteName() const;
    void SnapshotUploaded(bool ok, const std::string& text);
    std::string m_echo6FailureSaid;
    std::string m_snapshotFailureSaid;
    void CreateComponents();
    void CreateHelpViewer();
    void DestroyComponents();
    void ConnectHandlers();
    void ReportUnwritableSettings();
    void SetNetworkSettingsEnabled(bool enabled);
    void EndStreamForSourceChange();
    void ApplyCrossbarInput();
    // Runs a step that opens the selected device; a device held by another
    // program keeps its error text and gains which device it is and why.
    void WithDeviceNamed(const std::function<void()>& openDevice);
    void ShowUploadResult(const std::string& text);
    // How statuses are shown (Unit1Status.cpp): the last upload's result on
    // the Website page; the WAN field with the public address, or empty with
    // a hint while it is being learnt (learnt: a request has ended).
    void ShowLastUpload(const std::string& text);
    void ShowWanAddress(bool learnt);
    // FTP over TLS, the passive fallback, safe replace and the HTTPS echo
    // (Unit1WebSecurity.cpp).
    void CreateWebSecurityControls();
    void ReadWebSecuritySettings(TIniFile& ini);
    void WriteWebSecuritySettings(TIniFile& ini);
    void PrepareEchoClient();
    // The echo service's answer: https allowed, up to 5 redirects, 64 KiB.
    std::string FetchEchoAnswer();
    // Stores the WAN page under the remote name through a temporary file;
    // the session must be open. Answers the status text.
    std::string PublishWanPage(const std::string& host, const std::string& remoteName);
    // Applies the Security choice and the trusted fingerprint to NetFTP1.
    void ApplyWebSecurity();
    void PrintStreamingLine();
    std::string m_printedWan; // the WAN address of the last streaming line
    // A line the user must read once: the status bar, and stdout when the
    // program runs without a display.
    void ShowNoticeLines(const std::vector<std::string>& lines);
    // The port of edPort for the listener and both pages: a plain decimal
    // number from 1 to 65535, else 0.
    int StreamPortNumber() const;
    // The text the pages put after the address and its colon.
    std::string PagePortText() const;
    // Why the last echo request failed, once said; empty after a success.
    std::string m_echoFailureSaid;

    bool m_centred = false; // centred on the screen at the first show only
    bool m_closeQueued = false; // a close waits for a given-up request to unwind
    ComPtr<IUnknown> m_viewerSource; // the network sink whose viewers are shown, while streaming
    viewerauth::StoredCredentials m_viewerKeys; // the viewers' password as stored (empty: none)
    std::string m_linkToken;                    // the private link's token (empty: none)
    std::string m_listen = "all";               // [Network] Listen: "all", "lan" or "local"
};

// The settings file and program-relative files for a program at exePath:
// beside the program when its folder is writable and it is not an installed
// program (IsInstalledProgram), otherwise under
// $XDG_CONFIG_HOME/lumora (or ~/.config/lumora). An explicit settings file
// replaces only the settings file.
TProgramFiles ResolveProgramFiles(const std::string& exePath, const std::string& explicitSettings);

// Creates (or empties) a file only its owner may read and write.
void PreparePrivateFile(const std::string& path);

// What Preview and Start say when there is no video source to use.
extern const char* const NoVideoSourceText;

// The machine's first local IPv4 address as dotted text ("" without one).
std::string PrimaryLocalAddressText();

// Decimal digits only, one to nine of them: no sign, blanks or "0x".
bool IsPlainDecimal(const std::string& text);

// The public address in an echo answer: the text after "Address:" and its
// blank up to the next "<", trimmed, when it is exactly four dotted decimal
// fields of 0-255; "" otherwise, and "" when there is no "Address:".
std::string WanAddressFromEchoAnswer(const std::string& body);

// The remote page name with the extension rule of Start applied: ".htm" and
// ".php" stay, any other extension is replaced by ".htm", none gets ".htm".
std::string ApplyRemotePageExtension(const std::string& name);
