#include "bench/support/BenchLiveSink.h"

#include "bench/support/BenchMedia.h"

#include <chrono>
#include <cstdio>

namespace bench {

bool LiveBrowserSink::Start(Options options)
{
    m_options = std::move(options);
    const Options& o = m_options;
    WMCreateWriterNetworkSink(m_sink.GetAddressOf());
    m_sink->SetMaximumClients(10);
    m_routes = m_sink.As<IWMWriterSinkRoutes>();
    m_browsers = std::make_shared<BrowserSide>();
    m_routes->SetRouteHook(m_browsers);
    m_tap = std::make_shared<PictureTap>();
    m_browsers->SetPictureTap(m_tap);
    if (FAILED(m_sink->Open(&m_port))) {
        std::fprintf(stderr, "the sink does not open\n");
        return false;
    }
    std::string error;
    m_encoder = AsfEncoder::Create(wmftest::BaseProfileStreams(o.bitrate, o.width, o.height), "Lumora",
        [this](asf::DataPacketPtr p) {
            if (m_options.onPacket)
                m_options.onPacket(*p);
            m_sink->OnDataUnit(p);
        },
        &error);
    if (!m_encoder) {
        std::fprintf(stderr, "encoder: %s\n", error.c_str());
        m_sink->Close();
        return false;
    }
    m_encoder->SetPictureTap(m_tap);
    m_sink->OnHeader(m_encoder->Header().data(), m_encoder->Header().size());
    for (int i = 0; i < 1 << o.codeBits; ++i)
        m_pictures.push_back(BarsPicture(i, o.width, o.height, o.codeBits));
    m_stop = false;
    m_feeder = std::thread([this] {
        const auto start = std::chrono::steady_clock::now();
        for (int n = 0; !m_stop; ++n) {
            std::this_thread::sleep_until(start + n * std::chrono::microseconds(66667));
            const auto& pic = m_pictures[static_cast<size_t>(n) % m_pictures.size()];
            m_encoder->EncodeVideo(0, {PixelLayout::RGB32, m_options.width, m_options.height, pic.data(), pic.size()},
                n * 666667LL, false);
            if (m_options.afterPicture)
                m_options.afterPicture();
        }
    });
    return true;
}

void LiveBrowserSink::Stop()
{
    if (!m_feeder.joinable())
        return;
    m_stop = true;
    m_feeder.join();
    m_sink->Close();
}

} // namespace bench
