#pragma once
// The browser side behind a live network sink: a real-time encoder with its
// picture tap feeding the sink, the browser side installed as its route
// hook, and the helpers the browser tests share (raw HTTP exchanges, JPEG
// decoding).

#include "platform/wmf/AsfEncoder.h"
#include "live/browser/BrowserSide.h"
#include "platform/wmf/NetworkSink.h"
#include "platform/wmf/WMWriter.h"
#include "tests/live/browser/TappedFeeder.h"
#include "tests/support/TestSupport.h"
#include "tests/wmf/WmfTestUtil.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <jpeglib.h>

#include <atomic>
#include <chrono>
#include <cctype>
#include <csetjmp>
#include <thread>

namespace browsertest {

using namespace std::chrono_literals;
using testsupport::ChildProcess;
using testsupport::RunCommand;
using testsupport::WaitFor;

using wmftest::Connect;
using wmftest::Read;
using wmftest::Send;

// One whole exchange: the request, then everything until the sink closes.
inline std::string Exchange(DWORD port, const std::string& request)
{
    const int fd = Connect(port);
    Send(fd, request);
    bool closed = false;
    std::string answer = Read(fd, 10s, SIZE_MAX, &closed);
    close(fd);
    EXPECT_TRUE(closed) << "the sink closes after answering " << request;
    return answer;
}

inline std::string Body(const std::string& response)
{
    const size_t end = response.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : response.substr(end + 4);
}

// `pattern` with every '#' standing for one or more digits.
inline bool MatchesShape(std::string_view text, std::string_view pattern)
{
    size_t t = 0;
    for (char ch : pattern) {
        if (ch == '#') {
            const size_t start = t;
            while (t < text.size() && std::isdigit(static_cast<unsigned char>(text[t])))
                ++t;
            if (t == start)
                return false;
        } else if (t >= text.size() || text[t++] != ch) {
            return false;
        }
    }
    return t == text.size();
}

inline size_t ContentLength(const std::string& response)
{
    const size_t at = response.find("Content-Length: ");
    return at == std::string::npos ? SIZE_MAX : std::stoul(response.substr(at + 16));
}

inline const std::string kPlay = "User-Agent: NSPlayer/7.10.0.3059\r\nPragma: no-cache,rate=1.000000,stream-time=0\r\n"
                          "Pragma: xClientGUID={c77e7400-738a-11d2-9add-0020af0a3278}\r\nPragma: xPlayStrm=1\r\n";

// Decodes a JPEG file with libjpeg; false when it does not decode whole.
inline bool DecodeJpeg(const std::string& file, int* width, int* height)
{
    struct Error {
        jpeg_error_mgr mgr;
        std::jmp_buf jump;
    } error{};
    jpeg_decompress_struct cinfo{};
    cinfo.err = jpeg_std_error(&error.mgr);
    error.mgr.error_exit = [](j_common_ptr c) { std::longjmp(reinterpret_cast<Error*>(c->err)->jump, 1); };
    error.mgr.emit_message = [](j_common_ptr, int) {};
    if (setjmp(error.jump) != 0) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, reinterpret_cast<const unsigned char*>(file.data()), file.size());
    jpeg_read_header(&cinfo, TRUE);
    jpeg_start_decompress(&cinfo);
    std::vector<unsigned char> row(static_cast<size_t>(cinfo.output_width) * cinfo.output_components);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW rows[1] = {row.data()};
        jpeg_read_scanlines(&cinfo, rows, 1);
    }
    *width = static_cast<int>(cinfo.output_width);
    *height = static_cast<int>(cinfo.output_height);
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return true;
}

class BrowserSideTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(WMCreateWriterNetworkSink(m_sink.GetAddressOf(), SinkOptions()), S_OK);
        m_sink->SetMaximumClients(10);
        m_side = m_sink.As<IWMWriterSinkRoutes>();
        ASSERT_TRUE(m_side);
        ASSERT_EQ(m_side->SetRouteHook(m_browsers), S_OK);
        m_browsers->SetPictureTap(m_tap);
        m_browsers->SetStreamLabel("93 Kbps (CBR)");
        ASSERT_EQ(m_sink->Open(&m_port), S_OK);
        m_feeder = std::make_unique<TappedFeeder>(m_sink.Get(), m_tap);
    }
    void TearDown() override
    {
        m_feeder.reset();
        if (m_sink)
            m_sink->Close();
    }
    std::string Url(const char* scheme, const char* path = "/") const
    {
        return std::string(scheme) + "://127.0.0.1:" + std::to_string(m_port) + path;
    }
    std::string Get(const std::string& path, const std::string& method = "GET", const std::string& extra = {})
    {
        return Exchange(m_port, method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(m_port) + "\r\n" + extra + "\r\n");
    }

    // The sink's and the browser side's timers, shorter than the program's
    // so that the cases that wait for them take a few seconds.
    static NetworkSinkOptions SinkOptions()
    {
        NetworkSinkOptions o;
        o.stallLimit = kStallLimit;
        return o;
    }
    static BrowserSideOptions SideOptions()
    {
        BrowserSideOptions o;
        o.feed.linger = 1s;
        o.feed.prime = 1s;
        o.h264.linger = 1s;
        o.hls.lapse = 1500ms;
        return o;
    }
    static constexpr std::chrono::milliseconds kStallLimit{2500};

    ComPtr<IWMWriterNetworkSink> m_sink;
    ComPtr<IWMWriterSinkRoutes> m_side;
    std::shared_ptr<BrowserSide> m_browsers = std::make_shared<BrowserSide>(SideOptions());
    std::shared_ptr<PictureTap> m_tap = std::make_shared<PictureTap>();
    DWORD m_port = 0;
    std::unique_ptr<TappedFeeder> m_feeder;
};


} // namespace browsertest
