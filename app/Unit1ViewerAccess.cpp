// Who may watch: the viewers' password and the private link on the Network
// page, kept in [Viewers] of the settings as the stored forms only, and
// handed to the gate that every request on the stream's port passes.
#include "app/Unit1.h"

#include "media/MediaKit.h"
#include "platform/ini/IniFile.h"
#include "platform/ini/PrivateProfile.h"
#include "platform/ui/Application.h"
#include "platform/wmf/ViewerGate.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>

#include <cstdio>
#include <strings.h>

namespace {

constexpr const char* Section = "Viewers";
// 128 bits: not to be guessed, at 5 tries a minute or any other rate.
constexpr size_t LinkTokenBytes = 16;

ListenScope ScopeOf(const std::string& name)
{
    if (strcasecmp(name.c_str(), "lan") == 0)
        return ListenScope::Lan;
    if (strcasecmp(name.c_str(), "local") == 0)
        return ListenScope::Local;
    return ListenScope::All;
}

void DeleteKey(TIniFile& ini, const char* key)
{
    if (!WritePrivateProfileStringA(Section, key, nullptr, ini.FileName().c_str()))
        throw EIniFileException(Format("Unable to write to %s", ini.FileName().c_str()));
}

} // namespace

void TForm1::BuildViewerAccessControls()
{
    // Outside the settings group: the password and the link can change
    // while streaming, and take effect at the next request.
    cbViewerPassword = new QCheckBox("Viewers need a password", TabSheet2);
    cbViewerPassword->setObjectName("cbViewerPassword");
    edViewerPassword = new QLineEdit(TabSheet2);
    edViewerPassword->setObjectName("edViewerPassword");
    edViewerPassword->setEchoMode(QLineEdit::Password);
    // Masked with "+" like the FTP password.
    edViewerPassword->setStyleSheet("lineedit-password-character: 43;");
    edViewerPassword->setToolTip("Players and browsers ask for it; the user name is \"viewer\" unless the settings say otherwise.");
    btnPrivateLink = new QPushButton("New private link", TabSheet2);
    btnPrivateLink->setObjectName("btnPrivateLink");
    btnPrivateLink->setToolTip("A link that lets in whoever has it, without the password.\n"
                               "A new link ends the old one.");
    edPrivateLink = new QLineEdit(TabSheet2);
    edPrivateLink->setObjectName("edPrivateLink");
    edPrivateLink->setReadOnly(true);
    lblOpenStream = new QLabel("Anyone who finds your web page can watch", TabSheet2);
    lblOpenStream->setObjectName("lblOpenStream");

    connect(cbViewerPassword, &QCheckBox::toggled, this, Guarded([this](bool) { ApplyViewerAccess(); }));
    connect(edViewerPassword, &QLineEdit::editingFinished, this, Guarded([this] { edViewerPasswordEditingFinished(); }));
    connect(btnPrivateLink, &QPushButton::clicked, this, Guarded([this](bool) { btnPrivateLinkClick(); }));
    connect(cbFTP, &QCheckBox::toggled, this, Guarded([this](bool) { ApplyViewerAccess(); }));
    // Shown as the settings say once they are read.
    btnPrivateLink->setVisible(false);
    edPrivateLink->setVisible(false);
    lblOpenStream->setVisible(false);
    edViewerPassword->setEnabled(false);
}

void TForm1::ReadViewerAccessSettings(TIniFile& ini)
{
    const std::string user = ini.ReadString(Section, "User", "viewer");
    // A password written by hand (a machine without a display) is taken as
    // set in the window; the next save replaces it by the stored form.
    std::string plain = ini.ReadString(Section, "Password", "");
    if (!plain.empty()) {
        m_viewerKeys = viewerauth::StoreCredentials(user, plain);
        std::fill(plain.begin(), plain.end(), '\0');
    } else {
        m_viewerKeys.user = user;
        m_viewerKeys.basic = ini.ReadString(Section, "Basic", "");
        m_viewerKeys.digestSha256 = ini.ReadString(Section, "DigestSHA256", "");
        m_viewerKeys.digestMd5 = ini.ReadString(Section, "DigestMD5", "");
    }
    m_linkToken = ini.ReadString(Section, "LinkToken", "");
    // Whom the port serves at all: all (as always), lan, or local.
    m_listen = ini.ReadString("Network", "Listen", "all");
    if (Gate)
        Gate->SetScope(ScopeOf(m_listen));
    const QSignalBlocker block(cbViewerPassword);
    cbViewerPassword->setChecked(!m_viewerKeys.Empty());
    ApplyViewerAccess();
}

void TForm1::WriteViewerAccessSettings(TIniFile& ini)
{
    if (ScopeOf(m_listen) != ListenScope::All || ini.ReadString("Network", "Listen", "\x01") != "\x01")
        ini.WriteString("Network", "Listen", m_listen);
    // A file that never had the section keeps its old shape while nobody
    // asked for a password.
    auto present = [&ini](const char* key) { return ini.ReadString(Section, key, "\x01") != "\x01"; };
    const bool required = cbViewerPassword->isChecked() && !m_viewerKeys.Empty();
    if (!required && m_linkToken.empty() && !present("User") && !present("Basic") && !present("Password"))
        return;
    ini.WriteString(Section, "User", m_viewerKeys.user);
    DeleteKey(ini, "Password");
    if (required) {
        ini.WriteString(Section, "Basic", m_viewerKeys.basic);
        ini.WriteString(Section, "DigestSHA256", m_viewerKeys.digestSha256);
        ini.WriteString(Section, "DigestMD5", m_viewerKeys.digestMd5);
    } else {
        for (const char* key : {"Basic", "DigestSHA256", "DigestMD5"})
            DeleteKey(ini, key);
    }
    if (!m_linkToken.empty())
        ini.WriteString(Section, "LinkToken", m_linkToken);
    else
        DeleteKey(ini, "LinkToken");
}

void TForm1::edViewerPasswordEditingFinished()
{
    // The field never keeps the password: only its stored form is kept.
    QString text = edViewerPassword->text();
    if (text.isEmpty())
        return;
    std::string plain = text.toStdString();
    m_viewerKeys = viewerauth::StoreCredentials(m_viewerKeys.user.empty() ? "viewer" : m_viewerKeys.user, plain);
    std::fill(plain.begin(), plain.end(), '\0');
    text.fill(QChar(0));
    edViewerPassword->clear();
    ApplyViewerAccess();
}

void TForm1::btnPrivateLinkClick()
{
    m_linkToken = viewerauth::RandomToken(LinkTokenBytes);
    ApplyViewerAccess();
}

void TForm1::ApplyViewerAccess()
{
    const bool asked = cbViewerPassword->isChecked();
    const bool set = !m_viewerKeys.Empty();
    if (Gate) {
        Gate->SetCredentials(asked ? m_viewerKeys : viewerauth::StoredCredentials{});
        Gate->SetLinkToken(asked ? m_linkToken : std::string());
    }
    edViewerPassword->setEnabled(asked);
    edViewerPassword->setPlaceholderText(set ? "password set (type to change)" : "type the password");
    btnPrivateLink->setVisible(asked);
    edPrivateLink->setVisible(asked);
    btnPrivateLink->setEnabled(set);
    QString link;
    if (asked && set && !m_linkToken.empty()) {
        const QString port = Streaming() ? QString::number(ASFWriter->Port()) : edPort->text();
        link = "http://" + (edIPAddress->text().isEmpty() ? QString("localhost") : edIPAddress->text()) + ":" + port
            + "/watch?k=" + QString::fromStdString(m_linkToken);
    }
    edPrivateLink->setText(link);
    // A hint, not a nag: only while the page that gives the address away is published.
    lblOpenStream->setVisible(!(asked && set) && cbFTP->isChecked());
}

void TForm1::ReportFailedLogins()
{
    if (!Gate)
        return;
    for (const FailedLogins& report : Gate->TakeFailedLogins()) {
        const std::string text = FailedLoginsText(report);
        std::printf("%s\n", text.c_str());
        StatusPanel1->setText(QString::fromStdString(text));
    }
}
