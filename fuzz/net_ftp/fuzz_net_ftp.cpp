// Feeds arbitrary server output to the reply reader of the TCP connection
// (line splitting, multi-line replies, code parsing, reply checking) and the
// text of every reply to the PASV and EPSV parsers (with the private-address
// test the passive fallback applies to a PASV address). The bytes come through an
// in-memory transport, delivered in pieces whose sizes the input chooses.

#include "net/NetFTP.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

namespace {

class MemoryTransport : public TNetIOHandler {
public:
    MemoryTransport(const uint8_t* data, size_t size, size_t piece) : m_data(data), m_size(size), m_piece(piece) {}

    void CloseTransport() override { m_open = false; }
    void OpenTransport() override {}
    bool TransportConnected() override { return m_open; }
    bool TransportReadable(int) override
    {
        if (!m_open)
            throw ENetConnClosedGracefully();
        return true;
    }
    int TransportReceive(void* buffer, int length) override
    {
        const size_t n = std::min({m_size - m_pos, m_piece, static_cast<size_t>(length)});
        std::memcpy(buffer, m_data + m_pos, n);
        m_pos += n;
        return static_cast<int>(n); // 0 once everything is delivered: the peer closed
    }
    int TransportSend(const void*, int length) override { return length; }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_piece;
    size_t m_pos = 0;
    bool m_open = true;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    const size_t piece = 1 + data[0] % 64;
    const bool split = data[1] & 1;
    MemoryTransport transport(data + 2, size - 2, piece);
    TNetTCPConnection connection;
    connection.SetIOHandler(&transport);
    connection.SetMaxLineLength(256);
    connection.SetMaxLineAction(split ? maSplit : maException);
    for (int replies = 0; replies < 64; ++replies) {
        try {
            connection.ExpectReply({220, 227, 229, 230, 234, 331, 350});
        } catch (const ENetProtocolReplyError&) {
        } catch (const ENetException&) {
            break; // closed, line too long, ...
        }
        const auto& text = connection.LastReply().Text();
        if (!text.empty()) {
            std::string address;
            int port = 0;
            try {
                TNetFTP::ParsePassiveReply(text.front(), address, port);
                if (port < 0 || port > 65535)
                    __builtin_trap();
                TNetFTP::IsPrivateAddress(address);
            } catch (const ENetConvertError&) {
            }
            try {
                port = TNetFTP::ParseExtendedPassiveReply(text.front());
                if (port < 1 || port > 65535)
                    __builtin_trap();
            } catch (const ENetConvertError&) {
            }
            TNetFTP::IsNoTLSReply(connection.LastReply().NumericCode());
        }
    }
    return 0;
}
