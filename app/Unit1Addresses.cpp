// Address discovery and web page generation.
#include "app/Unit1.h"

#include "app/AntiFreeze.h"
#include "app/Unit1PortMapping.h"

#include "net/NetHTTP.h"
#include "net/NetIPv6.h"
#include "net/NetStack.h"
#include "platform/core/Text.h"
#include "platform/ui/TextFiles.h"

#include <QLabel>
#include <QLineEdit>

#include <cstdlib>
#include <sys/stat.h>
#include <optional>

std::string TForm1::EchoUrl() const
{
    if (!Options.EchoUrl.empty())
        return Options.EchoUrl;
    if (const char* env = std::getenv("LUMORA_ECHO_URL"); env && *env)
        return env;
    return "http://checkip.dyndns.org/";
}

namespace {

// Every "{IP}", in any letter case, replaced by `by`, and every "{IP6}" by `by6`.
std::string ReplacePlaceholder(const std::string& line, const std::string& by, const std::string& by6)
{
    std::string out;
    out.reserve(line.size());
    size_t i = 0;
    while (i < line.size()) {
        const bool ip = i + 4 <= line.size() && line[i] == '{' && (line[i + 1] | 0x20) == 'i' && (line[i + 2] | 0x20) == 'p';
        if (ip && line[i + 3] == '}') {
            out += by;
            i += 4;
        } else if (ip && i + 5 <= line.size() && line[i + 3] == '6' && line[i + 4] == '}') {
            out += by6;
            i += 5;
        } else {
            out += line[i++];
        }
    }
    return out;
}

// A template is a page of text: a line or a page larger than these is not one.
constexpr size_t kMaxTemplateLine = 1024 * 1024;
constexpr int64_t kMaxTemplatePage = 64 * 1024 * 1024;

class ETemplateRefused : public Exception {
public:
    using Exception::Exception;
};

// Refuses what is not a regular file (a FIFO would block the open, a device
// never ends) and a template past the page limit, before it is opened.
void CheckTemplateFile(const std::string& templateFile)
{
    struct stat st {};
    if (::stat(templateFile.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
        throw ETemplateRefused(Format("The template \"%s\" is not a regular file.", templateFile.c_str()));
    if (::stat(templateFile.c_str(), &st) == 0 && st.st_size > kMaxTemplatePage)
        throw ETemplateRefused(Format("The template \"%s\" is larger than 64 MB.", templateFile.c_str()));
}

// Writes `output` from the template, the address read afresh for each line.
// The output is created before the template is opened.
// A file error names the file it concerns.
template <class AddressFn, class PortFn>
void MakePage(const std::string& output, const std::string& templateFile, AddressFn address, PortFn port,
              const std::string& ipv6)
{
    std::optional<TTextFileWriter> out;
    try {
        out.emplace(output);
    } catch (const std::exception& e) {
        throw Exception(Format("Cannot create file \"%s\". %s", output.c_str(), e.what()));
    }
    CheckTemplateFile(templateFile);
    std::optional<TTextFileReader> in;
    try {
        in.emplace(templateFile);
    } catch (const std::exception& e) {
        throw Exception(Format("Cannot open file \"%s\". %s", templateFile.c_str(), e.what()));
    }
    std::string line;
    int64_t written = 0;
    try {
        while (in->ReadLine(line)) {
            if (line.size() > kMaxTemplateLine)
                throw ETemplateRefused(Format("The template \"%s\" has a line longer than 1 MB.", templateFile.c_str()));
            const std::string page = ReplacePlaceholder(line, address() + ":" + port(), ipv6);
            // The placeholders may make the page grow past the template.
            written += static_cast<int64_t>(page.size()) + 2;
            if (written > kMaxTemplatePage)
                throw ETemplateRefused(Format("The page made from \"%s\" would be larger than 64 MB.", templateFile.c_str()));
            out->WriteLine(page);
        }
        out->Close();
    } catch (const ETemplateRefused&) {
        throw;
    } catch (const std::exception& e) {
        throw Exception(Format("Cannot write file \"%s\". %s", output.c_str(), e.what()));
    }
}


} // namespace

void TForm1::MakeLocalFile()
{
    PagePortText(); // a field that is not a port makes no page
    MakePage(
        edLocal->text().toStdString(), edTemplate->text().toStdString(),
        [this] { return edIPAddress->text().toStdString(); }, [this] { return PagePortText(); }, IPv6PageText(false));
}

void TForm1::MakeWANFile()
{
    PagePortText();
    PreparePrivateFile(Files.WanPageFile());
    MakePage(
        Files.WanPageFile(), edTemplate->text().toStdString(),
        [this] { return StatusPanel0->text().toStdString(); }, [this] { return WanPagePortText(); }, IPv6PageText(true));
}

namespace {
bool IsByteField(const std::string& field)
{
    return IsPlainDecimal(field) && field.size() <= 3 && std::stoi(field) <= 255;
}
} // namespace

std::string WanAddressFromEchoAnswer(const std::string& body)
{
    const std::string text = EchoAnswerAddressField(body);
    // Exactly four fields: a host name that begins with an address is the
    // echo side's name, not ours.
    std::string rest = text;
    for (int i = 0; i < 3; ++i) {
        const size_t dot = rest.find('.');
        if (dot == std::string::npos || !IsByteField(rest.substr(0, dot)))
            return {};
        rest.erase(0, dot + 1);
    }
    return IsByteField(rest) ? text : std::string();
}

void TForm1::GetOutsideIP()
{
    StatusPanel1->setText("Retrieving external IP address...");
    std::string result;
    std::string failure;
    try {
        // Bounded as a whole; the window keeps painting while it waits.
        TWindowAntiFreeze::TRequest request(*AntiFreeze, RequestLimits.Echo, "the address echo service");
        NetHTTP1->SetReadTimeout(RequestLimits.Echo);
        const std::string body = FetchEchoAnswer();
        result = WanAddressFromEchoAnswer(body);
    } catch (const std::exception& e) {
        StatusPanel0->clear();
        failure = e.what();
    }
    StatusPanel1->clear();
    PortMapping->EchoAnswered(result);
    // The echo failed: the router's own public address is the next best.
    if (result.empty())
        result = PortMapping->UsableRouterAddress();
    if (!result.empty())
        StatusPanel0->setText(QString::fromStdString(result));
    // A failed request is said once, until the reason changes or a request
    // succeeds: the 15-minute schedule would otherwise repeat it all day.
    if (failure.empty()) {
        m_echoFailureSaid.clear();
    } else if (failure != m_echoFailureSaid) {
        m_echoFailureSaid = failure;
        // One line: the line breaks of a socket error's text become blanks.
        std::string reason;
        for (char c : asciitext::Trim(failure)) {
            if (c == '\r' || c == '\n')
                c = ' ';
            if (c != ' ' || reason.empty() || reason.back() != ' ')
                reason += c;
        }
        ShowNoticeLines({"The public address is unknown: the address echo service " + EchoUrl() + " failed (" +
                         reason + ")."});
    }
    LearnIPv6();
    // A console user learns the public address as soon as it is known.
    if (Streaming() && IsDottedAddress(StatusPanel0->text().toStdString()) &&
        StatusPanel0->text().toStdString() != m_printedWan)
        PrintStreamingLine();
}

std::string PrimaryLocalAddressText()
{
    TNetStack::AcquireStack();
    std::string address;
    try {
        address = StackInstance->PrimaryLocalAddress();
    } catch (...) {
        TNetStack::ReleaseStack();
        throw;
    }
    TNetStack::ReleaseStack();
    return address;
}
