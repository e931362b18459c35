// Opening the stream port on the home router, and saying whether viewers
// outside can reach the stream.
#include "app/Unit1PortMapping.h"

#include "app/Unit1.h"
#include "net/NetIPv6.h"
#include "net/NetStack.h"
#include "net/PortMapper.h"
#include "platform/ini/IniFile.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QObject>
#include <QTimer>

#include <cstdlib>
#include <vector>

namespace {
// A shorter lease for tests of the renewal ([Network] PortMapping stays the
// user's switch); one hour otherwise.
std::chrono::seconds LeaseTime()
{
    if (const char* text = std::getenv("LUMORA_PORTMAP_LEASE"); text && IsPlainDecimal(text)) {
        const int seconds = std::atoi(text);
        if (seconds >= 2)
            return std::chrono::seconds(seconds);
    }
    return std::chrono::hours(1);
}

// LUMORA_PORT_MAPPING=0 keeps this process from asking any router, whatever
// the settings say (a machine whose router must not be touched, the tests
// that run outside a network of their own).
bool MappingAllowedHere()
{
    const char* text = std::getenv("LUMORA_PORT_MAPPING");
    return !text || std::string(text) != "0";
}
} // namespace

void TForm1::BuildPortMappingControls()
{
    // In the settings group's free corner (placed by LayOutWindow); the two
    // labels are statuses and stay readable while the group is locked.
    cbPortMapping = new QCheckBox("Ask the router to open the port", GroupBox3);
    cbPortMapping->setObjectName("cbPortMapping");
    cbPortMapping->setChecked(true);
    // A size smaller than the window's: the corner holds the whole caption.
    QFont small = cbPortMapping->font();
    small.setPixelSize(10);
    cbPortMapping->setFont(small);
    lblReachability = new QLabel(GroupBox3);
    lblReachability->setObjectName("lblReachability");
    lblReachability->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    lblReachability->setTextInteractionFlags(Qt::TextSelectableByMouse);
    lblReachability->setProperty("lumoraStatus", true);
    // Three lines of it show; the whole line is the tooltip and the status bar's.
    small.setPixelSize(9);
    lblReachability->setFont(small);
    lblRouterAddress = new QLabel(GroupBox3);
    lblRouterAddress->setObjectName("lblRouterAddress");
    lblRouterAddress->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    lblRouterAddress->setTextInteractionFlags(Qt::TextSelectableByMouse);
    lblRouterAddress->setProperty("lumoraStatus", true);
    PortMapping = std::make_unique<TPortMappingController>(*this);
}

std::string TForm1::WanPagePortText() const
{
    // Viewers outside come in through the router's port.
    if (Streaming() && PortMapping && PortMapping->ExternalPort() > 0)
        return std::to_string(PortMapping->ExternalPort());
    return PagePortText();
}

TPortMappingController::TPortMappingController(TForm1& form) : m_form(form) {}

TPortMappingController::~TPortMappingController()
{
    m_mapper.reset();
    m_notices.reset();
}

void TPortMappingController::Load(const TIniFile& ini)
{
    m_inFile = ini.ReadString("Network", "PortMapping", "\x01") != "\x01";
    m_form.cbPortMapping->setChecked(ini.ReadBool("Network", "PortMapping", true));
}

void TPortMappingController::Save(TIniFile& ini) const
{
    // A file that never had the key keeps its shape until the box is changed.
    if (m_inFile || !m_form.cbPortMapping->isChecked())
        ini.WriteBool("Network", "PortMapping", m_form.cbPortMapping->isChecked());
}

void TPortMappingController::Start(int port)
{
    Stop();
    m_outcome = MappingOutcome {};
    m_outcome.InternalPort = port;
    m_said.clear();
    m_said6.clear();
    m_form.lblRouterAddress->clear();
    m_form.lblReachability->clear();
    m_form.lblReachability->setToolTip({});
    // A stream kept to the LAN or this machine is never opened to the internet.
    if (!m_form.cbPortMapping->isChecked() || m_form.m_listen != "all" || !MappingAllowedHere())
        return;
    m_form.lblReachability->setText("Asking the router to open the port\u2026");
    m_notices = std::make_unique<QObject>();
    QObject* notices = m_notices.get();
    PortMappingOptions options;
    options.InternalPort = port;
    options.Lease = LeaseTime();
    // The stream listens on IPv6 too: the same port is opened there.
    options.IPv6Address = GlobalIPv6Address();
    m_mapper = std::make_unique<PortMapper>(options, [this, notices](const MappingOutcome& outcome) {
        QMetaObject::invokeMethod(notices, [this, outcome] { Outcome(outcome); }, Qt::QueuedConnection);
    });
}

void TPortMappingController::Stop()
{
    const bool asked = m_mapper != nullptr;
    m_mapper.reset();
    m_notices.reset();
    m_outcome.Granted = false;
    m_outcome.ExternalPort = 0;
    // What the router said was about the stream that has ended.
    if (asked) {
        m_form.lblReachability->clear();
        m_form.lblReachability->setToolTip({});
    }
}

int TPortMappingController::ExternalPort() const { return m_outcome.Granted ? m_outcome.ExternalPort : 0; }

std::string TPortMappingController::UsableRouterAddress() const
{
    return IsPublicIPv4(m_outcome.RouterAddress) ? m_outcome.RouterAddress : std::string();
}

void TPortMappingController::EchoAnswered(const std::string& address)
{
    m_echo = address;
    ShowDiagnosis();
}

void TPortMappingController::Outcome(const MappingOutcome& outcome)
{
    const int portBefore = ExternalPort();
    m_outcome = outcome;
    m_form.lblRouterAddress->setText(outcome.RouterAddress.empty()
                                         ? QString()
                                         : QString::fromStdString("router: " + outcome.RouterAddress));
    // The echo failed: a router with a public address of its own knows it.
    const std::string router = UsableRouterAddress();
    if (!router.empty() && !IsDottedAddress(m_form.StatusPanel0->text().toStdString())) {
        m_form.StatusPanel0->setText(QString::fromStdString(router));
        m_form.ShowWanAddress(true);
        if (m_form.Streaming())
            m_form.PrintStreamingLine();
    } else if (ExternalPort() != portBefore && m_form.Streaming()) {
        m_form.ShowWanAddress(true);
        m_form.PrintStreamingLine();
    }
    // A page already published names the port that was open then.
    if (ExternalPort() != portBefore && m_form.Streaming() && !m_form.LastUploadedIP.empty()) {
        m_form.LastUploadedIP.clear();
        if (!m_form.tmrStartButtonUpload->isActive())
            m_form.tmrStartButtonUpload->start();
    }
    ShowDiagnosis();
}

void TPortMappingController::ShowDiagnosis()
{
    const std::string text = ReachabilityText(m_outcome, m_echo);
    const std::string text6 = PinholeText(m_outcome);
    if (text.empty() || (text == m_said && text6 == m_said6))
        return;
    std::vector<std::string> lines;
    if (text != m_said)
        lines.push_back(text);
    if (!text6.empty() && text6 != m_said6)
        lines.push_back(text6);
    m_said = text;
    m_said6 = text6;
    // One line fits beside the bitrate list: the first line, shortened to
    // the label; both whole in the tool tip (and in the status bar).
    const QString whole = QString::fromStdString(text6.empty() ? text : text + "\n" + text6);
    QLabel* label = m_form.lblReachability;
    label->setText(label->fontMetrics().elidedText(QString::fromStdString(text), Qt::ElideRight, label->width()));
    label->setToolTip(whole);
    if (!lines.empty())
        m_form.ShowNoticeLines(lines);
}
