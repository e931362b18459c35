// The IPv6 side of the addresses: the machine's global IPv6 address beside
// the LAN address, the public IPv6 address from an echo over IPv6
// ([Web] Echo6URL), and what "{IP6}" becomes in the pages.
#include "app/Unit1.h"

#include "app/BackgroundRequest.h"
#include "app/SnapshotUploader.h"
#include "net/NetIPv6.h"
#include "platform/ini/IniFile.h"

#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>

namespace {
constexpr size_t Echo6AnswerLimit = 64 * 1024;
} // namespace

void TForm1::BuildOutsideControls()
{
    // On the Network page below the watch address, outside the settings
    // group: readable and selectable while streaming.
    auto* caption = new QLabel("IPv6 address", TabSheet2);
    caption->setObjectName("lblIPv6");
    edIPv6 = new QLineEdit(TabSheet2);
    edIPv6->setObjectName("edIPv6");
    edIPv6->setReadOnly(true);
    edIPv6->setPlaceholderText("none");
    edIPv6->setText(QString::fromStdString(GlobalIPv6Address()));
    Echo6 = std::make_unique<TBackgroundRequest>(this);
    BuildSnapshotControls();
}

void TForm1::ReadOutsideSettings(TIniFile& ini)
{
    Echo6Url = ini.ReadString("Web", "Echo6URL", "");
    ReadSnapshotSettings(ini);
}

void TForm1::WriteOutsideSettings(TIniFile& ini)
{
    if (!Echo6Url.empty() || ini.ReadString("Web", "Echo6URL", "\x01") != "\x01")
        ini.WriteString("Web", "Echo6URL", Echo6Url);
    WriteSnapshotSettings(ini);
}

void TForm1::LearnIPv6()
{
    edIPv6->setText(QString::fromStdString(GlobalIPv6Address()));
    if (Echo6Url.empty()) {
        PublicIPv6.clear();
        return;
    }
    const std::string url = Echo6Url;
    const auto limit = std::chrono::milliseconds(RequestLimits.Echo > 0 ? RequestLimits.Echo : 15000);
    Echo6->Start(
        [url, limit](const std::atomic<bool>& cancel) {
            const std::string body = HttpGetOverIPv6(url, limit, Echo6AnswerLimit, &cancel);
            const std::string address = PublicIPv6FromEchoAnswer(body);
            if (address.empty())
                throw Exception("its answer holds no public IPv6 address");
            return address;
        },
        [this, url](const std::string& address, const std::string& failure) {
            if (!failure.empty()) {
                // Said once, as the IPv4 echo's failure is.
                if (failure != m_echo6FailureSaid) {
                    m_echo6FailureSaid = failure;
                    ShowNoticeLines({"The public IPv6 address is unknown: the echo over IPv6 " + url + " failed (" + failure + ")."});
                }
                return;
            }
            m_echo6FailureSaid.clear();
            PublicIPv6 = address;
            edIPv6->setToolTip(QString::fromStdString("Seen from outside as " + address));
        });
}

std::string TForm1::IPv6PageText(bool website) const
{
    // The website page names the address the outside saw, when an echo over
    // IPv6 told it; otherwise (and on the local page) the machine's own
    // global address, which is what the outside sees without translation.
    std::string address = website ? PublicIPv6 : std::string();
    if (address.empty())
        address = edIPv6->text().toStdString();
    return address.empty() ? std::string() : "[" + address + "]:" + PagePortText();
}
