// TASFWriter in a real graph with the built-in test source: activation with
// and without a network sink, the file sink, removing sink 0, the profile
// property, and players receiving what the writer serves.

#include "media/MediaKit.h"
#include "media/SysDevEnum.h"
#include "platform/dshow/BaseClasses.h"
#include "platform/dshow/DeviceEnum.h"
#include "platform/dshow/Filters.h"
#include "platform/wmf/WMAsfWriter.h"
#include "tests/support/TestSupport.h"
#include "tests/wmf/WmfTestUtil.h"

#include <gtest/gtest.h>

#include <QCoreApplication>

#include <arpa/inet.h>
#include <filesystem>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using testsupport::RunCommand;

void Pump(std::chrono::milliseconds time)
{
    const auto end = std::chrono::steady_clock::now() + time;
    while (std::chrono::steady_clock::now() < end) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        std::this_thread::sleep_for(10ms);
    }
}

// The base profile edited for a bitrate row, as the bitrate list does it.
ComPtr<IWMProfile> RowProfile(const char* bitrate, bool large)
{
    std::string xml = wmftest::BaseProfileXml();
    auto replace = [&](const std::string& from, const std::string& to) {
        for (size_t at = xml.find(from); at != std::string::npos; at = xml.find(from, at + to.size()))
            xml.replace(at, from.size(), to);
    };
    replace("bitrate=\"32000\"", std::string("bitrate=\"") + bitrate + "\"");
    if (large) {
        replace("right=\"240\"", "right=\"320\"");
        replace("bottom=\"176\"", "bottom=\"240\"");
        replace("biwidth=\"240\"", "biwidth=\"320\"");
        replace("biheight=\"176\"", "biheight=\"240\"");
    }
    ComPtr<IWMProfileManager> m;
    WMCreateProfileManager(m.GetAddressOf());
    ComPtr<IWMProfile> edited;
    EXPECT_EQ(m->LoadProfileByData(Utf8ToUtf16(xml).c_str(), edited.GetAddressOf()), S_OK);
    return edited;
}

class ASFWriterGraph : public ::testing::Test {
protected:
    void SetUp() override
    {
        TSysDevEnum devices(CLSID_VideoInputDeviceCategory);
        ASSERT_GT(devices.DeviceCount(), 0);
        m_source.SetName("Filter1");
        m_source.BaseFilter()->StoreMoniker(devices.DeviceMoniker(devices.DeviceCount() - 1).Get()); // the test source
        m_source.SetFilterGraph(&m_graph);
        m_graph.SetMode(gmCapture);
        m_writer.SetName("ASFWriter");
    }
    void TearDown() override
    {
        m_graph.SetActive(false);
        m_writer.SetFilterGraph(nullptr);
        m_source.SetFilterGraph(nullptr);
    }

    // What the program's Start does once the graph is active.
    void ConfigureAndPlay(IWMProfile* profile, const std::u16string& title, bool removeFileSink)
    {
        ComPtr<IConfigAsfWriter> config;
        ASSERT_EQ(m_writer.QueryInterface(IConfigAsfWriter::iid, config.ReleaseAndGetVoid()), S_OK);
        ASSERT_EQ(config->ConfigureFilterUsingProfile(profile), S_OK);
        ASSERT_TRUE(m_writer.WriterAdvanced());
        auto header = QueryInterfacePtr<IWMHeaderInfo3>(m_writer.WriterAdvanced().Get());
        ASSERT_TRUE(header);
        WORD index = 0;
        EXPECT_EQ(header->AddAttribute(0, g_wszTitle, &index, WMT_TYPE_STRING, 0,
                      reinterpret_cast<const BYTE*>(title.c_str()), static_cast<DWORD>(title.size() * 2)),
            S_OK);
        EXPECT_EQ(m_writer.WriterAdvanced()->SetLiveSource(1), S_OK);
        const DWORD mode = WM_DM_DEINTERLACE_NORMAL;
        EXPECT_EQ(m_writer.WriterAdvanced()->SetInputSetting(0, g_wszDeinterlaceMode, WMT_TYPE_DWORD,
                      reinterpret_cast<const BYTE*>(&mode), 4),
            S_OK);
        ComPtr<ICaptureGraphBuilder2> builder;
        ASSERT_EQ(m_graph.QueryInterface(ICaptureGraphBuilder2::iid, builder.ReleaseAndGetVoid()), S_OK);
        ComPtr<IBaseFilter> source, writer;
        ASSERT_EQ(m_source.QueryInterface(IBaseFilter::iid, source.ReleaseAndGetVoid()), S_OK);
        ASSERT_EQ(m_writer.QueryInterface(IBaseFilter::iid, writer.ReleaseAndGetVoid()), S_OK);
        ASSERT_TRUE(SUCCEEDED(builder->RenderStream(&PIN_CATEGORY_CAPTURE, nullptr, source.Get(), nullptr, writer.Get())));
        if (removeFileSink) {
            ComPtr<IWMWriterSink> first;
            ASSERT_EQ(m_writer.WriterAdvanced()->GetSink(0, first.GetAddressOf()), S_OK);
            ASSERT_EQ(m_writer.WriterAdvanced()->RemoveSink(first.Get()), S_OK);
        }
        ASSERT_TRUE(m_graph.Play());
    }

    TFilterGraph m_graph;
    TFilter m_source;
    TASFWriter m_writer;
};

TEST_F(ASFWriterGraph, NoNetworkSinkWithoutPortOrUsers)
{
    const int port = testsupport::FreeTcpPort();
    const struct {
        uint32_t port, users;
    } cases[] = {{0, 10}, {static_cast<uint32_t>(port), 0}, {0, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.port) + "/" + std::to_string(c.users));
        m_writer.SetPort(c.port);
        m_writer.SetMaxUsers(c.users);
        m_writer.SetFilterGraph(&m_graph);
        m_graph.SetActive(true);
        ASSERT_TRUE(m_writer.WriterAdvanced());
        EXPECT_FALSE(m_writer.NetworkSink());
        DWORD sinks = 0;
        m_writer.WriterAdvanced()->GetSinkCount(&sinks);
        EXPECT_EQ(sinks, 1u) << "only the file sink";
        EXPECT_EQ(m_writer.Port(), c.port);
        m_graph.SetActive(false);
        EXPECT_FALSE(m_writer.WriterAdvanced());
        m_writer.SetFilterGraph(nullptr);
    }
}

TEST_F(ASFWriterGraph, PortAndUsersGiveOneNetworkSinkLimitedToTheUsers)
{
    const int port = testsupport::FreeTcpPort();
    m_writer.SetPort(static_cast<uint32_t>(port));
    m_writer.SetMaxUsers(10);
    m_writer.SetFilterGraph(&m_graph);
    m_graph.SetActive(true);
    ASSERT_TRUE(m_writer.NetworkSink());
    DWORD max = 0;
    m_writer.NetworkSink()->GetMaximumClients(&max);
    EXPECT_EQ(max, 10u);
    EXPECT_EQ(m_writer.Port(), static_cast<uint32_t>(port));
    EXPECT_TRUE(testsupport::WaitForPort(port, 2s));
    DWORD sinks = 0;
    m_writer.WriterAdvanced()->GetSinkCount(&sinks);
    EXPECT_EQ(sinks, 2u);
    ComPtr<IWMWriterSink> second;
    m_writer.WriterAdvanced()->GetSink(1, second.GetAddressOf());
    EXPECT_EQ(static_cast<void*>(second.Get()), static_cast<void*>(static_cast<IWMWriterSink*>(m_writer.NetworkSink().Get())))
        << "the network sink comes after the file sink";

    // Leaving the graph while active closes the sink and frees the port.
    m_writer.SetFilterGraph(nullptr);
    EXPECT_FALSE(m_writer.NetworkSink());
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << "port still taken";
    close(fd);
}

TEST_F(ASFWriterGraph, PortTakenLeavesTheSinkUnopenedWithoutError)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    socklen_t len = sizeof addr;
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(fd, 1), 0);
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    const uint32_t taken = ntohs(addr.sin_port);
    m_writer.SetPort(taken);
    m_writer.SetMaxUsers(10);
    m_writer.SetFilterGraph(&m_graph);
    m_graph.SetActive(true);
    ASSERT_TRUE(m_writer.NetworkSink());
    std::string url;
    EXPECT_EQ(m_writer.NetworkSink()->GetHostURL(&url), NS_E_INVALID_OPERATION) << "the sink is not open";
    EXPECT_EQ(m_writer.Port(), taken);
    close(fd);
}

TEST_F(ASFWriterGraph, FileSinkWritesAnAsfFilePlayersRead)
{
    testsupport::TempDir dir;
    const std::string file = dir.file("stream.tmp");
    m_writer.SetFileName(file);
    m_writer.SetFilterGraph(&m_graph);
    m_graph.SetActive(true);
    EXPECT_EQ(m_writer.FileName(), file);
    ConfigureAndPlay(RowProfile("93000", true).Get(), u"Lumora test", false);
    Pump(3s);
    m_graph.SetActive(false);
    int status = -1;
    const std::string probe = wmftest::Probe(file, &status);
    ASSERT_EQ(status, 0) << probe;
    EXPECT_NE(probe.find("codec_name=wmv2"), std::string::npos) << probe;
    EXPECT_NE(probe.find("width=320\n"), std::string::npos) << probe;
    EXPECT_NE(probe.find("height=240\n"), std::string::npos) << probe;
    EXPECT_NE(probe.find("TAG:title=Lumora test"), std::string::npos) << probe;
    const std::string decoded = RunCommand("ffmpeg -nostdin -v error -i '" + file + "' -f null - 2>&1");
    EXPECT_EQ(decoded, "");
}

// The program's streaming set-up: file sink removed, network sink only;
// players over http:// and mmsh:// see WMV2 at 320 x 240, no file grows.
TEST_F(ASFWriterGraph, StreamingToPlayersWithTheFileSinkRemoved)
{
    testsupport::TempDir dir;
    const std::string file = dir.file("wan.tmp");
    const int port = testsupport::FreeTcpPort();
    m_writer.SetFileName(file);
    m_writer.SetPort(static_cast<uint32_t>(port));
    m_writer.SetMaxUsers(10);
    m_writer.SetFilterGraph(&m_graph);
    m_graph.SetActive(true);
    ConfigureAndPlay(RowProfile("93000", true).Get(), u" ", true);
    const std::string url = "127.0.0.1:" + std::to_string(port) + "/";
    int status = -1;
    const std::string probe = wmftest::Probe("http://" + url, &status);
    ASSERT_EQ(status, 0) << probe;
    EXPECT_NE(probe.find("codec_name=wmv2"), std::string::npos) << probe;
    EXPECT_NE(probe.find("width=320\n"), std::string::npos) << probe;
    EXPECT_NE(probe.find("height=240\n"), std::string::npos) << probe;
    const std::string mmsh = RunCommand("timeout 60 ffmpeg -nostdin -v error -i mmsh://" + url + " -frames:v 30 -f null - 2>&1; echo rc=$?");
    EXPECT_EQ(mmsh, "rc=0\n");
    EXPECT_FALSE(std::filesystem::exists(file) && std::filesystem::file_size(file) > 0) << "the removed file sink wrote";
}

TEST_F(ASFWriterGraph, ProfilePropertyFollowsTheFilter)
{
    m_writer.SetProfile(wmp_V80_56VideoOnly);
    EXPECT_EQ(m_writer.Profile(), wmp_V80_56VideoOnly) << "stored while inactive";
    m_writer.SetFilterGraph(&m_graph);
    m_graph.SetActive(true);
    ComPtr<IConfigAsfWriter> config;
    ASSERT_EQ(m_writer.QueryInterface(IConfigAsfWriter::iid, config.ReleaseAndGetVoid()), S_OK);
    GUID current;
    config->GetCurrentProfileGuid(&current);
    EXPECT_EQ(current, WMProfiles8Guid(wmp_V80_56VideoOnly)) << "applied at insertion";
    EXPECT_EQ(TPinList(m_writer.GetBaseFilter().Get()).Count(), 1);

    // Written while the filter exists: configured, the stored value unchanged.
    m_writer.SetProfile(wmp_V80_255VideoPDA);
    EXPECT_EQ(m_writer.Profile(), wmp_V80_255VideoPDA);
    EXPECT_EQ(TPinList(m_writer.GetBaseFilter().Get()).Count(), 2) << "audio and video inputs";
    ASSERT_EQ(config->ConfigureFilterUsingProfile(RowProfile("93000", true).Get()), S_OK);
    EXPECT_EQ(static_cast<int>(m_writer.Profile()), 255) << "an edited profile is none of the table";
    m_graph.SetActive(false);
    EXPECT_EQ(m_writer.Profile(), wmp_V80_56VideoOnly) << "the stored value again";
}

// A converter in front of the writer makes the stream's own picture (I420 at
// the row's size), not a full-size one the encoder scales down again; and
// once a frame slot is queued, the writer wants no other picture for it, so
// the pictures it would drop are never converted.
TEST(ASFWriter, ConverterInFrontMakesTheStreamPictureOnlyForOpenSlots)
{
    RegisterMediaFrameworkClasses();
    RegisterWMAsfWriterClass();
    ComPtr<IGraphBuilder> graph;
    ASSERT_EQ(CreateFilterGraphManager(IGraphBuilder::iid, graph.ReleaseAndGetVoid()), S_OK);
    ComPtr<IBaseFilter> source, converter, writer;
    ASSERT_EQ(CreateTestPatternSource(IBaseFilter::iid, source.ReleaseAndGetVoid()), S_OK);
    ASSERT_EQ(CreateColourConverter(IBaseFilter::iid, converter.ReleaseAndGetVoid()), S_OK);
    ASSERT_EQ(CreateWMAsfWriter(IBaseFilter::iid, writer.ReleaseAndGetVoid()), S_OK);
    ASSERT_EQ(QueryInterfacePtr<IConfigAsfWriter>(writer.Get())->ConfigureFilterUsingProfile(RowProfile("93000", true).Get()), S_OK);
    const AM_MEDIA_TYPE camera = MakeVideoType(MEDIASUBTYPE_RGB32, 640, 480, 30);
    ASSERT_EQ(QueryInterfacePtr<IAMStreamConfig>(source.Get())->SetFormat(&camera), S_OK);
    testsupport::TempDir dir;
    ASSERT_EQ(QueryInterfacePtr<IFileSinkFilter>(writer.Get())->SetFileName(dir.file("out.asf").c_str(), nullptr), S_OK);
    for (auto [filter, name] : {std::pair{source, "Source"}, std::pair{converter, "Converter"}, std::pair{writer, "Writer"}})
        ASSERT_EQ(graph->AddFilter(filter.Get(), name), S_OK);
    const auto pins = [](IBaseFilter* f, PIN_DIRECTION dir) {
        for (auto& p : FilterPins(f))
            if (PinDirection(p.Get()) == dir)
                return p;
        return ComPtr<IPin>();
    };
    ASSERT_EQ(graph->ConnectDirect(pins(source.Get(), PINDIR_OUTPUT).Get(), pins(converter.Get(), PINDIR_INPUT).Get(), nullptr), S_OK);
    const ComPtr<IPin> writerIn = pins(writer.Get(), PINDIR_INPUT);
    ASSERT_EQ(graph->ConnectDirect(pins(converter.Get(), PINDIR_OUTPUT).Get(), writerIn.Get(), nullptr), S_OK);
    AM_MEDIA_TYPE made;
    ASSERT_EQ(writerIn->ConnectionMediaType(&made), S_OK);
    EXPECT_TRUE(made.subtype == MEDIASUBTYPE_I420);
    EXPECT_EQ(made.video.biWidth, 320);
    EXPECT_EQ(made.video.biHeight, 240);

    auto control = QueryInterfacePtr<IMediaControl>(graph.Get());
    ASSERT_EQ(control->Run(), S_OK);
    const auto demand = QueryInterfacePtr<IFrameDemand>(writerIn.Get());
    ASSERT_TRUE(demand);
    // The first picture opens slot 0 (a picture at or before it lands there too).
    const auto end = std::chrono::steady_clock::now() + 5s;
    while (demand->WantsFrame(0) == S_OK && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(5ms);
    EXPECT_EQ(demand->WantsFrame(0), S_FALSE);
    EXPECT_EQ(demand->WantsFrame(600LL * 10000000), S_OK) << "a slot ten minutes on is still open";
    control->Stop();
    EXPECT_GT(std::filesystem::file_size(dir.file("out.asf")), 0u);
}

TEST(ASFWriter, ProfileIndexFromGuid)
{
    for (int i = 0; i < kWMSystemProfileCount; ++i)
        EXPECT_EQ(ProfileIndexFromGuid(WMProfiles8Guid(static_cast<TWMProfiles8>(i))), i);
    EXPECT_EQ(ProfileIndexFromGuid(MakeGuid("{6E2A6955-81DF-4943-BA50-68A986A708F6}")), wmp_V80_56VideoOnly);
    EXPECT_EQ(ProfileIndexFromGuid(GUID_NULL), 255);
    EXPECT_EQ(ProfileIndexFromGuid(MakeGuid("{7C23220E-55BB-11D3-8B16-00C04FB6BD3D}")), 255);
}

TEST(ASFWriter, SettingsAndAttributesOfTheWriter)
{
    RegisterWMAsfWriterClass();
    auto filter = CoCreate<IBaseFilter>(CLSID_WMAsfWriter);
    ASSERT_TRUE(filter);
    auto config = QueryInterfacePtr<IConfigAsfWriter2>(filter.Get());
    ASSERT_TRUE(config);
    ASSERT_EQ(config->ConfigureFilterUsingProfileGuid(WMProfiles8Guid(wmp_V80_256Video)), S_OK);
    EXPECT_EQ(config->ConfigureFilterUsingProfileGuid(GUID_NULL), NS_E_PROFILE_NOT_FOUND);
    auto provider = QueryInterfacePtr<IServiceProvider>(filter.Get());
    ComPtr<IWMWriterAdvanced2> advanced;
    ASSERT_EQ(provider->QueryService(IWMWriterAdvanced2::iid, IWMWriterAdvanced2::iid, advanced.ReleaseAndGetVoid()), S_OK);
    // 256Video: audio is stream 0, video stream 1.
    const DWORD one = 1;
    const auto* v = reinterpret_cast<const BYTE*>(&one);
    EXPECT_EQ(advanced->SetInputSetting(1, g_wszDeinterlaceMode, WMT_TYPE_DWORD, v, 4), S_OK);
    EXPECT_EQ(advanced->SetInputSetting(0, g_wszDeinterlaceMode, WMT_TYPE_DWORD, v, 4), E_INVALIDARG) << "audio input";
    EXPECT_EQ(advanced->SetInputSetting(1, g_wszDeinterlaceMode, WMT_TYPE_STRING, v, 4), E_INVALIDARG);
    EXPECT_EQ(advanced->SetInputSetting(7, g_wszDeinterlaceMode, WMT_TYPE_DWORD, v, 4), E_INVALIDARG);
    EXPECT_EQ(advanced->SetInputSetting(1, u"NoSuchSetting", WMT_TYPE_DWORD, v, 4), NS_E_INVALID_REQUEST);
    WMT_ATTR_DATATYPE type;
    DWORD mode = 0;
    WORD length = 4;
    ASSERT_EQ(advanced->GetInputSetting(1, g_wszDeinterlaceMode, &type, reinterpret_cast<BYTE*>(&mode), &length), S_OK);
    EXPECT_EQ(mode, 1u);

    auto header = QueryInterfacePtr<IWMHeaderInfo3>(advanced.Get());
    ASSERT_TRUE(header);
    // The one-blank title as the program passes it (no terminator counted), then replaced.
    WORD index = 9;
    EXPECT_EQ(header->AddAttribute(0, g_wszTitle, &index, WMT_TYPE_STRING, 0, reinterpret_cast<const BYTE*>(u" "), 2), S_OK);
    EXPECT_EQ(index, 0);
    EXPECT_EQ(header->AddAttribute(0, g_wszTitle, &index, WMT_TYPE_STRING, 0, reinterpret_cast<const BYTE*>(u"Cam"), 8), S_OK);
    WORD stream = 0;
    BYTE value[16];
    length = sizeof value;
    ASSERT_EQ(header->GetAttributeByName(&stream, g_wszTitle, &type, value, &length), S_OK);
    EXPECT_EQ(length, 8);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(value)), u"Cam");

    BOOL live = 1;
    advanced->IsRealTime(&live);
    EXPECT_EQ(live, 0);
    advanced->SetLiveSource(1);
    advanced->IsRealTime(&live);
    EXPECT_EQ(live, 1);
    DWORD p1 = 9;
    EXPECT_EQ(config->SetParam(AM_CONFIGASFWRITER_PARAM_DONTCOMPRESS, 1, 0), S_OK);
    EXPECT_EQ(config->GetParam(AM_CONFIGASFWRITER_PARAM_DONTCOMPRESS, &p1, nullptr), S_OK);
    EXPECT_EQ(p1, 1u);
    EXPECT_EQ(config->SetParam(4, 1, 0), E_INVALIDARG);
}

} // namespace
