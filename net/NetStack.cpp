#include "net/NetStack.h"

#include <climits>
#include <cstring>
#include <mutex>
#include <strings.h>

TNetStack* StackInstance = nullptr;

namespace {

std::mutex g_stackLock;
int g_stackUsers = 0;

bool IsBlankOrControl(char c) { return static_cast<unsigned char>(c) <= ' '; }

bool FieldIsByte(const std::string& field)
{
    int value = 0;
    return NetTryStrToInt(field, value) && value >= 0 && value <= 255;
}

} // namespace

// ---------------------------------------------------------------- helpers

ENetWS2StubError::ENetWS2StubError(std::string title, int win32Error, std::string win32ErrorText)
    : ENetException(win32Error != 0 ? win32ErrorText + ": " + title : title),
      m_title(std::move(title)), m_win32Error(win32Error), m_win32ErrorText(std::move(win32ErrorText))
{
}

bool NetTryStrToInt(const std::string& text, int& value)
{
    size_t i = 0;
    while (i < text.size() && text[i] == ' ')
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    if (i >= text.size())
        return false;
    long long v = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + (c - '0');
        if (v > static_cast<long long>(INT_MAX) + 1)
            return false;
    }
    if (negative)
        v = -v;
    if (v > INT_MAX || v < INT_MIN)
        return false;
    value = static_cast<int>(v);
    return true;
}

int NetStrToInt(const std::string& text)
{
    int value = 0;
    if (!NetTryStrToInt(text, value))
        throw ENetConvertError(Format("'%s' is not a valid integer value", text.c_str()));
    return value;
}

std::string CutField(std::string& text, const std::string& delimiter, bool caseSensitive)
{
    size_t pos = std::string::npos;
    if (!delimiter.empty()) {
        if (caseSensitive) {
            pos = text.find(delimiter);
        } else {
            auto upper = [](std::string s) {
                for (auto& c : s)
                    if (c >= 'a' && c <= 'z')
                        c = static_cast<char>(c - 'a' + 'A');
                return s;
            };
            pos = upper(text).find(upper(delimiter));
        }
    }
    std::string field;
    if (pos == std::string::npos) {
        field.swap(text);
        text.clear();
    } else {
        field = text.substr(0, pos);
        text.erase(0, pos + delimiter.size());
    }
    return field;
}

bool IsDottedAddress(const std::string& text)
{
    size_t first = 0, last = text.size();
    while (first < last && IsBlankOrControl(text[first]))
        ++first;
    while (last > first && IsBlankOrControl(text[last - 1]))
        --last;
    std::string rest = text.substr(first, last - first);
    for (int i = 0; i < 4; ++i)
        if (!FieldIsByte(CutField(rest, ".")))
            return false;
    return true;
}

// ---------------------------------------------------------------- socket lists

TNetSocket TNetSocketListPosix::Item(int index) const
{
    if (index < 0 || index >= m_count)
        throw ENetStackSetSizeExceeded("Set Size Exceeded.");
    return m_handles[static_cast<size_t>(index)];
}

void TNetSocketListPosix::Add(TNetSocket handle)
{
    if (m_count >= MaxHandles)
        throw ENetStackSetSizeExceeded("Set Size Exceeded.");
    m_handles[static_cast<size_t>(m_count++)] = handle;
}

void TNetSocketListPosix::Remove(TNetSocket handle)
{
    for (int i = 0; i < m_count; ++i) {
        if (m_handles[static_cast<size_t>(i)] == handle) {
            m_handles[static_cast<size_t>(i)] = m_handles[static_cast<size_t>(m_count - 1)];
            --m_count;
            return;
        }
    }
}

// ---------------------------------------------------------------- TNetStack

TNetStack::TNetStack() = default;
TNetStack::~TNetStack() = default;

std::string TNetStack::PrimaryLocalAddress()
{
    const auto& list = LocalAddressList();
    return list.empty() ? std::string() : list.front();
}

const std::vector<std::string>& TNetStack::LocalAddressList()
{
    RefreshLocalAddresses();
    return m_localAddresses;
}

int TNetStack::ConnectSocketCancellable(TNetSocket handle, int family, int port, const std::string& address,
                                        const std::atomic<bool>& cancel)
{
    (void)cancel;
    return ConnectSocket(handle, family, port, address);
}

std::string TNetStack::TranslateSocketError(int code)
{
    return Format("Socket Error # %d\r\n%s", code, SocketErrorText(code).c_str());
}

std::string TNetStack::AddressToText(uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3)
{
    return Format("%u.%u.%u.%u", b0, b1, b2, b3);
}

std::array<uint8_t, 4> TNetStack::TextToAddress(const std::string& text)
{
    std::string rest = text;
    std::array<uint8_t, 4> out {};
    for (auto& b : out)
        b = static_cast<uint8_t>(NetStrToInt(CutField(rest, ".")) & 0xFF);
    return out;
}

uint32_t TNetStack::TextToAddressValue(const std::string& text)
{
    const auto b = TextToAddress(text);
    uint32_t value = 0;
    std::memcpy(&value, b.data(), 4); // network order, as in the address record
    return value;
}

void TNetStack::AcquireStack()
{
    std::lock_guard<std::mutex> lock(g_stackLock);
    if (g_stackUsers++ == 0)
        StackInstance = new TNetStackPosix();
}

void TNetStack::ReleaseStack()
{
    std::lock_guard<std::mutex> lock(g_stackLock);
    if (g_stackUsers-- == 1) {
        delete StackInstance;
        StackInstance = nullptr;
    }
}

int TNetStack::UserCount()
{
    std::lock_guard<std::mutex> lock(g_stackLock);
    return g_stackUsers;
}

bool TNetStack::CheckSocketResult(int result, std::initializer_list<int> ignoredCodes)
{
    if (result != NetSocketError)
        return false;
    m_lastError = LastSocketError();
    for (int code : ignoredCodes)
        if (code == m_lastError)
            return true;
    RaiseSocketFailure(m_lastError);
}

void TNetStack::RaiseSocketFailure(int code)
{
    throw ENetSocketError(TranslateSocketError(code), code);
}

TNetSocket TNetStack::CreateSocketChecked(int type, int protocol)
{
    const TNetSocket handle = NewSocket(Id_PF_INET, type, protocol);
    if (handle == NetInvalidSocket)
        throw ENetInvalidSocket("Cannot allocate socket.");
    return handle;
}

std::string TNetStack::ResolveHostAddress(const std::string& host)
{
    if (strcasecmp(host.c_str(), "LOCALHOST") == 0)
        return "127.0.0.1";
    if (IsIPv4Text(host))
        return host;
    return HostNameToAddress(host);
}

bool TNetStack::IsIPv4Text(const std::string& text)
{
    std::string rest = text;
    for (int i = 0; i < 3; ++i)
        if (!FieldIsByte(CutField(rest, ".")))
            return false;
    return FieldIsByte(rest);
}
