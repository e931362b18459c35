#include "tests/wmf/WmfTestUtil.h"

#include "platform/core/Text.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <map>

namespace wmftest {

std::vector<uint8_t> MovingPicture(int width, int height, int n, bool busy)
{
    std::vector<uint8_t> out(static_cast<size_t>(width) * height * 4);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            uint8_t* p = &out[(static_cast<size_t>(y) * width + x) * 4];
            const int bar = ((x + (busy ? n * 4 : 0)) * 8 / width) % 8;
            p[0] = static_cast<uint8_t>(bar & 1 ? 230 : 20);
            p[1] = static_cast<uint8_t>(bar & 2 ? 230 : 20);
            p[2] = static_cast<uint8_t>(bar & 4 ? 230 : 20);
            p[3] = 0;
            const int sx = (n * 3) % (width - 16), sy = (n * 2) % (height - 16);
            if (x >= sx && x < sx + 16 && y >= sy && y < sy + 16)
                p[0] = p[1] = p[2] = 255;
        }
    return out;
}

std::string BaseProfileXml()
{
    ComPtr<IWMProfileManager> m;
    if (FAILED(WMCreateProfileManager(m.GetAddressOf())))
        return {};
    ComPtr<IWMProfile> base;
    if (FAILED(m->LoadProfileByID(WMSystemProfileAt(23).id, base.GetAddressOf())))
        return {};
    DWORD length = 0;
    if (FAILED(m->SaveProfile(base.Get(), nullptr, &length)) || length == 0)
        return {};
    std::u16string text(length, u'\0');
    if (FAILED(m->SaveProfile(base.Get(), text.data(), &length)))
        return {};
    return Utf16ToUtf8(text.c_str());
}

std::vector<WMStreamFormat> BaseProfileStreams(DWORD bitrate, int width, int height)
{
    ComPtr<IWMProfileManager> m;
    WMCreateProfileManager(m.GetAddressOf());
    ComPtr<IWMProfile> p;
    m->LoadProfileByID(WMSystemProfileAt(23).id, p.GetAddressOf());
    ComPtr<IWMStreamConfig> sc;
    p->GetStream(0, sc.GetAddressOf());
    WMStreamFormat f;
    sc->GetFormat(&f);
    f.bitrate = bitrate;
    f.width = width;
    f.height = height;
    return {f};
}

bool Reassemble(const std::vector<std::vector<uint8_t>>& packets, uint32_t packetSize, std::vector<MediaObject>* objects,
    std::string* error)
{
    std::map<uint8_t, MediaObject> open;
    std::map<uint8_t, uint32_t> expectedSize;
    for (size_t i = 0; i < packets.size(); ++i) {
        const auto& pk = packets[i];
        asf::PacketInfo info;
        if (pk.size() != packetSize || !asf::ParsePacket(pk.data(), pk.size(), &info)) {
            *error = "packet " + std::to_string(i) + " does not parse";
            return false;
        }
        for (const auto& pl : info.payloads) {
            MediaObject& o = open[pl.stream];
            if (pl.objectOffset == 0) {
                o = MediaObject{pl.stream, pl.keyFrame, pl.presentationMs, {}};
                expectedSize[pl.stream] = pl.objectSize;
            } else if (pl.objectOffset != o.bytes.size()) {
                *error = "fragment out of place in packet " + std::to_string(i);
                return false;
            }
            o.bytes.insert(o.bytes.end(), pk.begin() + static_cast<long>(pl.dataOffset),
                pk.begin() + static_cast<long>(pl.dataOffset + pl.dataLength));
            if (o.bytes.size() == expectedSize[pl.stream]) {
                objects->push_back(o);
                o.bytes.clear();
            }
        }
    }
    return true;
}

std::string Probe(const std::string& target, int* status)
{
    return testsupport::RunCommand("ffprobe -v error -show_streams -show_format '" + target + "' 2>&1", status);
}

int Connect(DWORD port, int receiveBuffer, const char* from)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (receiveBuffer)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    if (from) {
        sockaddr_in source{};
        source.sin_family = AF_INET;
        inet_pton(AF_INET, from, &source.sin_addr);
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source), 0) << from;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    return fd;
}

std::string Read(int fd, std::chrono::milliseconds timeout, size_t bytes, bool* closed)
{
    std::string out;
    const auto end = std::chrono::steady_clock::now() + timeout;
    if (closed)
        *closed = false;
    while (out.size() < bytes) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0)
            break;
        char buf[65536];
        const ssize_t n = recv(fd, buf, std::min(sizeof buf, bytes - out.size()), 0);
        if (n <= 0) {
            if (closed)
                *closed = true;
            break;
        }
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

std::string Request(const std::string& extra = {}, const std::string& path = "/")
{
    return "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n" + extra + "\r\n";
}

const std::string kPlay = "User-Agent: NSPlayer/7.10.0.3059\r\nPragma: no-cache,rate=1.000000,stream-time=0\r\n"
                          "Pragma: xClientGUID={c77e7400-738a-11d2-9add-0020af0a3278}\r\nPragma: xPlayStrm=1\r\n";
const std::string kDescribe = "User-Agent: NSPlayer/4.1.0.3856\r\nPragma: xClientGUID={c77e7400-738a-11d2-9add-0020af0a3278}\r\n";

void Send(int fd, const std::string& text) { ASSERT_EQ(send(fd, text.data(), text.size(), MSG_NOSIGNAL), static_cast<ssize_t>(text.size())); }

} // namespace wmftest
