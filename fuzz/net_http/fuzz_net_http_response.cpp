// The HTTP client reading an arbitrary reply. A transport in memory plays the
// server: it swallows what the client sends and answers with the fuzzer's
// bytes, then reports the peer's close.
#include "net/NetHTTP.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace {

class ReplayTransport : public TNetIOHandler {
public:
    ReplayTransport(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}

    void OpenTransport() override { m_connected = true; }
    void CloseTransport() override { m_connected = false; }
    bool TransportConnected() override { return m_connected; }
    bool TransportReadable(int) override { return true; }
    int TransportReceive(void* buffer, int length) override
    {
        // Small pieces, so that lines and bodies arrive split.
        const size_t n = std::min<size_t>({static_cast<size_t>(length), m_size - m_offset, 97});
        std::memcpy(buffer, m_data + m_offset, n);
        m_offset += n;
        return static_cast<int>(n);
    }
    int TransportSend(const void*, int length) override { return length; }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_offset = 0;
    bool m_connected = false;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const uint8_t flags = data[0];
    ReplayTransport transport(data + 1, size - 1);
    TNetHTTP http;
    http.SetIOHandler(&transport);
    http.SetHandleRedirects(flags & 1);
    http.SetProtocolVersion(flags & 2 ? pv1_0 : pv1_1);
    if (flags & 4)
        http.SetHTTPOptions(hoInProcessAuth);
    if (flags & 8) {
        http.OnAuthorization = [](TNetCustomHTTP*, TNetAuthentication* auth, bool& handled) {
            auth->SetUsername("user");
            auth->SetPassword("pass");
            handled = true;
        };
    }
    http.SetMaxLineLength(1024);
    TNetMemoryStream body;
    try {
        http.GetToStream("http://fuzz.invalid/index.html", body);
    } catch (const Exception&) {
    }
    if (body.Size() > static_cast<int64_t>(size))
        __builtin_trap();
    http.SetIOHandler(nullptr);
    return 0;
}
