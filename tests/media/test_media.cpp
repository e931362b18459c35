// The media layer's components over the real framework: the graph
// component's lifecycle and events, the device filter component and its
// stored moniker, the lists, the video window.

#include "media/MediaKit.h"
#include "platform/com/Rot.h"
#include "platform/dshow/BaseClasses.h"
#include "platform/dshow/Filters.h"
#include "platform/dshow/VideoRenderer.h"
#include "platform/ui/Application.h"
#include "tests/support/TestSupport.h"

#include <QApplication>
#include <QThread>

#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

namespace {

bool WaitFor(const std::function<bool()>& condition, int ms = 5000)
{
    for (int waited = 0; !condition(); waited += 5) {
        if (waited > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// A member and listener that writes down what the graph tells it.
class Recorder : public IMemberFilter, public IGraphListener {
public:
    explicit Recorder(std::string name, ComPtr<IBaseFilter> filter = {}) : m_name(std::move(name)), m_filter(std::move(filter)) {}
    ComPtr<IBaseFilter> GetBaseFilter() override { return m_filter; }
    std::string GetFilterName() override { return m_name; }
    void NotifyFilter(TMemberNotice notice, int32_t) override
    {
        static const char* names[] = {"adding", "added", "removing", "removed"};
        log.push_back(m_name + ":" + names[notice]);
    }
    void GraphEvent(long event, LONG_PTR, LONG_PTR) override
    {
        events.push_back(event);
        onUiThread = QThread::currentThread() == QCoreApplication::instance()->thread();
    }
    void ControlEvent(TControlEventKind event, int32_t param) override
    {
        log.push_back(m_name + ":control" + std::to_string(event) + "/" + std::to_string(param));
    }
    std::vector<std::string> log;
    std::vector<long> events;
    bool onUiThread = false;

private:
    std::string m_name;
    ComPtr<IBaseFilter> m_filter;
};

// A stand-in audio renderer: the graph answers IBasicAudio only with one.
class AudioRenderer final : public BaseFilter<IBasicAudio> {
public:
    AudioRenderer() : BaseFilter(MakeGuid("{5A4F2D8E-1B3C-4E7A-9F60-7D2C8B1E3A45}")) {}
    HRESULT put_Volume(long v) override { volume.push_back(v); return S_OK; }
    HRESULT get_Volume(long* v) override { *v = volume.empty() ? 0 : volume.back(); return S_OK; }
    HRESULT put_Balance(long b) override { balance.push_back(b); return S_OK; }
    HRESULT get_Balance(long* b) override { *b = balance.empty() ? 0 : balance.back(); return S_OK; }
    std::vector<long> volume, balance;
};

ComPtr<IMoniker> TestSourceMoniker()
{
    setenv("LUMORA_TEST_SOURCE", "1", 1);
    TSysDevEnum devices(CLSID_VideoInputDeviceCategory);
    return devices.DeviceMoniker(devices.DeviceCount() - 1);
}

std::vector<std::string> GraphFilterNames(TFilterGraph& graph)
{
    ComPtr<IFilterGraph> g = Supports<IFilterGraph>(graph);
    TFilterList list(g.Get());
    std::vector<std::string> names;
    for (int i = 0; i < list.Count(); ++i) {
        FILTER_INFO info;
        list.Item(i)->QueryFilterInfo(&info);
        names.push_back(info.achName);
    }
    return names;
}

} // namespace

// ---- the graph component -------------------------------------------------------------------

TEST(FilterGraph, ActivationAndDeactivationRunTheirStepsInOrder)
{
    TFilterGraph graph;
    Recorder a("A"), b("B");
    graph.AddMember(&a);
    graph.AddListener(&a);
    graph.AddMember(&b);
    int activated = 0;
    graph.OnActivate = [&](TFilterGraph* sender) {
        EXPECT_EQ(sender, &graph);
        ++activated;
    };

    graph.SetActive(true);
    graph.SetActive(true); // once only
    EXPECT_EQ(activated, 1);
    EXPECT_EQ(a.log, (std::vector<std::string>{"A:adding", "A:added", "A:control7/1"}));
    EXPECT_EQ(b.log, (std::vector<std::string>{"B:adding", "B:added"}));

    a.log.clear();
    b.log.clear();
    graph.SetActive(false);
    graph.SetActive(false);
    EXPECT_EQ(a.log, (std::vector<std::string>{"A:control7/0", "A:removing", "A:removed"}));
    EXPECT_EQ(b.log, (std::vector<std::string>{"B:removing", "B:removed"}));
    EXPECT_EQ(graph.MemberCount(), 2) << "members stay registered";

    // Registration while active takes effect at once; while inactive, not.
    graph.SetActive(true);
    Recorder late("Late");
    graph.AddMember(&late);
    EXPECT_EQ(late.log, (std::vector<std::string>{"Late:adding", "Late:added"}));
    graph.RemoveMember(&late);
    EXPECT_EQ(late.log, (std::vector<std::string>{"Late:adding", "Late:added", "Late:removing", "Late:removed"}));
    graph.SetActive(false);
    graph.RemoveMember(&late);
    EXPECT_EQ(late.log.size(), 4u);
    graph.RemoveMember(&a);
    graph.RemoveMember(&b);
    graph.RemoveListener(&a);
    EXPECT_EQ(graph.MemberCount(), 0);
    EXPECT_EQ(graph.ListenerCount(), 0);
}

TEST(FilterGraph, ModeChangeRebuildsAnActiveGraphAndQueriesFollowTheMode)
{
    TFilterGraph graph;
    Recorder listener("L");
    graph.AddListener(&listener);
    EXPECT_FALSE(Supports<ICaptureGraphBuilder2>(graph)) << "inactive: nothing is passed on";
    EXPECT_TRUE(Supports<IAMGraphBuilderCallback>(graph)) << "its own interfaces always answer";

    graph.SetActive(true);
    EXPECT_FALSE(Supports<ICaptureGraphBuilder2>(graph));
    EXPECT_TRUE(Supports<IMediaControl>(graph));
    ComPtr<IFilterGraph> before = Supports<IFilterGraph>(graph);

    graph.SetMode(gmCapture);
    EXPECT_TRUE(graph.Active());
    EXPECT_EQ(listener.log, (std::vector<std::string>{"L:control7/1", "L:control7/0", "L:control7/1"}));
    ComPtr<ICaptureGraphBuilder2> builder = Supports<ICaptureGraphBuilder2>(graph);
    ASSERT_TRUE(builder);
    ComPtr<IGraphBuilder> bound;
    builder->GetFiltergraph(bound.GetAddressOf());
    EXPECT_EQ(bound.As<IUnknown>().Get(), Supports<IFilterGraph>(graph).As<IUnknown>().Get());
    EXPECT_NE(Supports<IFilterGraph>(graph).Get(), before.Get());

    listener.log.clear();
    graph.SetMode(gmCapture);
    EXPECT_TRUE(listener.log.empty());

    // No DVD navigator on this platform: active, no graph, and nothing breaks.
    graph.SetMode(gmDVD);
    EXPECT_TRUE(graph.Active());
    EXPECT_FALSE(Supports<IFilterGraph>(graph));
    EXPECT_FALSE(graph.Play());
    graph.ClearGraph();
    graph.SetVolume(5);
    graph.RemoveListener(&listener);
}

TEST(FilterGraph, PlayAndStopSendControlEventsOnlyWhenActive)
{
    TFilterGraph graph;
    Recorder listener("L");
    graph.AddListener(&listener);
    EXPECT_FALSE(graph.Play());
    EXPECT_FALSE(graph.Stop());
    EXPECT_TRUE(listener.log.empty());
    graph.SetActive(true);
    listener.log.clear();
    EXPECT_TRUE(graph.Play());
    EXPECT_TRUE(graph.Stop());
    EXPECT_EQ(listener.log, (std::vector<std::string>{"L:control0/0", "L:control2/0"}));
    graph.RemoveListener(&listener);
}

TEST(FilterGraph, ClearGraphKeepsExactlyTheMembersFiltersUnconnected)
{
    TFilterGraph graph;
    graph.SetMode(gmCapture);
    TFilter filter;
    filter.SetName("Filter1");
    filter.BaseFilter()->StoreMoniker(TestSourceMoniker().Get());
    TVideoWindow window;
    window.setObjectName("VideoWindow1");
    filter.SetFilterGraph(&graph);
    window.SetFilterGraph(&graph);
    graph.ClearGraph(); // inactive: nothing

    graph.SetActive(true);
    auto builder = InterfaceOf<ICaptureGraphBuilder2>(graph);
    auto device = InterfaceOf<IBaseFilter>(filter);
    auto renderer = InterfaceOf<IBaseFilter>(window);
    CheckGraphResult(builder->RenderStream(&PIN_CATEGORY_PREVIEW, nullptr, device.Get(), nullptr, renderer.Get()));
    EXPECT_EQ(GraphFilterNames(graph), (std::vector<std::string>{"Filter1", "VideoWindow1", "Smart Tee"}));
    EXPECT_TRUE(graph.Play());

    graph.ClearGraph();
    EXPECT_EQ(GraphFilterNames(graph), (std::vector<std::string>{"Filter1", "VideoWindow1"}));
    for (IBaseFilter* f : {device.Get(), renderer.Get()}) {
        TPinList pins(f);
        for (int i = 0; i < pins.Count(); ++i)
            EXPECT_FALSE(pins.Connected(i));
    }
    // And the same members can be connected and run again.
    CheckGraphResult(builder->RenderStream(&PIN_CATEGORY_PREVIEW, nullptr, device.Get(), nullptr, renderer.Get()));
    EXPECT_TRUE(graph.Play());
    window.SetFilterGraph(nullptr);
    filter.SetFilterGraph(nullptr);
}

TEST(FilterGraph, VolumeIsClampedAndConvertedForTheAudioRenderer)
{
    EXPECT_EQ(LinearToVolume(10000), 0);
    EXPECT_EQ(LinearToVolume(0), -10000);

    TFilterGraph graph;
    auto audio = ComPtr<AudioRenderer>::Adopt(NewComObject<AudioRenderer>());
    Recorder member("Audio", ComPtr<IBaseFilter>(audio.Get()));
    graph.AddMember(&member);
    graph.SetActive(true);
    struct Case {
        bool linear;
        int32_t written, stored;
        long platform;
    };
    for (const Case& c : {Case{true, -5, 0, -10000}, Case{true, 20000, 10000, 0}, Case{true, 10000, 10000, 0},
                          Case{false, 5000, 5000, -5000}, Case{false, 0, 0, -10000}}) {
        graph.SetLinearVolume(c.linear);
        graph.SetVolume(c.written);
        EXPECT_EQ(graph.Volume(), c.stored);
        ASSERT_FALSE(audio->volume.empty());
        EXPECT_EQ(audio->volume.back(), c.platform) << c.written;
    }
    graph.SetLinearVolume(false);
    graph.SetBalance(-20000);
    EXPECT_EQ(graph.Balance(), -10000);
    EXPECT_EQ(audio->balance.back(), -10000);
    graph.SetLinearVolume(true); // re-applies both; centre stays centre
    graph.SetBalance(0);
    EXPECT_EQ(audio->balance.back(), 0);
    graph.SetBalance(10000);
    EXPECT_EQ(audio->balance.back(), 10000);
    graph.RemoveMember(&member);
}

TEST(FilterGraph, EventsFromAStreamingThreadArriveOnTheUiThread)
{
    TFilterGraph graph;
    Recorder listener("L");
    graph.AddListener(&listener);
    graph.SetActive(true);
    std::vector<std::string> seen;
    graph.OnGraphDeviceLost = [&](TFilterGraph*, IUnknown*, bool removed) { seen.push_back(removed ? "lost:removed" : "lost"); };
    graph.OnGraphVideoSizeChanged = [&](TFilterGraph*, int w, int h) { seen.push_back(std::to_string(w) + "x" + std::to_string(h)); };
    graph.OnGraphErrorAbort = [&](TFilterGraph*, HRESULT hr) {
        seen.push_back("abort");
        CheckGraphResult(hr);
    };
    std::vector<std::string> errors;
    Application::Instance().SetExceptionHandler([&](const std::string& text) { errors.push_back(text); });

    auto sink = Supports<IMediaEventSink>(graph);
    ASSERT_TRUE(sink);
    std::thread streaming([&] {
        sink->Notify(EC_DEVICE_LOST, 0, 1);
        sink->Notify(EC_VIDEO_SIZE_CHANGED, (240 << 16) | 320, 0);
        sink->Notify(EC_ERRORABORT, HRESULT_DEVICE_BUSY, 0);
        sink->Notify(EC_COMPLETE, 0, 0);
    });
    streaming.join();
    ASSERT_TRUE(WaitFor([&] { return listener.events.size() >= 4; }));
    EXPECT_TRUE(listener.onUiThread);
    EXPECT_EQ(seen, (std::vector<std::string>{"lost:removed", "320x240", "abort"}));
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], "The requested resource is in use. ($800700AA).");
    EXPECT_EQ(listener.events, (std::vector<long>{EC_DEVICE_LOST, EC_VIDEO_SIZE_CHANGED, EC_ERRORABORT, EC_COMPLETE}))
        << "the event after the failing one comes with a later message";
    Application::Instance().SetExceptionHandler(nullptr);

    // Deactivated: queued events are no longer pumped.
    graph.SetActive(false);
    graph.PumpEvents();
    graph.RemoveListener(&listener);
}

TEST(FilterGraph, GraphEditRegistersOnlyWhileActive)
{
    ComPtr<IRunningObjectTable> rot;
    GetRunningObjectTable(0, rot.GetAddressOf());
    auto names = [&] {
        std::vector<std::string> n;
        rot->EnumRunningNames(&n);
        return n;
    };
    TFilterGraph graph;
    graph.SetGraphEdit(true);
    EXPECT_EQ(graph.RotCookie(), 0u);
    EXPECT_TRUE(names().empty());
    graph.SetActive(true);
    ASSERT_NE(graph.RotCookie(), 0u);
    ASSERT_EQ(names().size(), 1u);
    char expected[64];
    std::snprintf(expected, sizeof expected, "!FilterGraph %08X pid %X",
                  static_cast<unsigned>(reinterpret_cast<uintptr_t>(Supports<IFilterGraph2>(graph).Get())),
                  static_cast<unsigned>(getpid()));
    EXPECT_EQ(names()[0], expected);
    graph.SetActive(false);
    EXPECT_TRUE(names().empty());
    EXPECT_EQ(graph.RotCookie(), 0u);
    graph.SetActive(true);
    graph.SetGraphEdit(false);
    EXPECT_TRUE(names().empty());
}

TEST(FilterGraph, LogFileIsWrittenWhileActiveAndABadNameIsIgnored)
{
    testsupport::TempDir dir;
    TFilterGraph graph;
    graph.SetMode(gmCapture);
    graph.SetLogFile(dir.file("graph.log"));
    graph.SetActive(true);
    auto g = Supports<IFilterGraph>(graph);
    ComPtr<IBaseFilter> source;
    CreateTestPatternSource(IBaseFilter::iid, source.ReleaseAndGetVoid());
    g->AddFilter(source.Get(), "Source");
    graph.SetLogFile(dir.file("missing/dir/graph.log"));
    EXPECT_EQ(graph.LogFile(), dir.file("graph.log"));
    graph.SetActive(false);
    EXPECT_NE(testsupport::ReadFileText(dir.file("graph.log")).find("AddFilter \"Source\""), std::string::npos);
}

TEST(FilterGraph, UnableToRenderReachesTheOwningComponent)
{
    TFilterGraph graph;
    graph.SetActive(true);
    ComPtr<IBaseFilter> source;
    CreateTestPatternSource(IBaseFilter::iid, source.ReleaseAndGetVoid());
    Supports<IFilterGraph>(graph)->AddFilter(source.Get(), "Source");
    ComPtr<IPin> pin = TPinList(source.Get()).Item(0);
    auto callback = InterfaceOf<IAMFilterGraphCallback>(graph);
    EXPECT_EQ(callback->UnableToRender(pin.Get()), S_FALSE);
    IPin* asked = nullptr;
    graph.OnUnableToRender = [&](IPin* p) {
        asked = p;
        return true;
    };
    EXPECT_EQ(callback->UnableToRender(pin.Get()), S_OK);
    EXPECT_EQ(asked, pin.Get());
    ComPtr<IUnknown> unused;
    auto provider = InterfaceOf<IServiceProvider>(graph);
    EXPECT_EQ(provider->QueryService(ComponentServiceId, IBaseFilter::iid, unused.ReleaseAndGetVoid()), E_NOINTERFACE);
}

TEST(CheckGraphResult, PassesSuccessAndRaisesFailureWithText)
{
    EXPECT_EQ(CheckGraphResult(S_FALSE), S_FALSE);
    EXPECT_EQ(CheckGraphResult(VFW_S_NOPREVIEWPIN), VFW_S_NOPREVIEWPIN);
    try {
        CheckGraphResult(VFW_E_CANNOT_RENDER);
        FAIL() << "no exception";
    } catch (const EDirectShowException& e) {
        EXPECT_EQ(e.Message(), "No combination of filters could be found to render the stream. ($80040218).");
        EXPECT_EQ(e.ErrorCode, VFW_E_CANNOT_RENDER);
    }
    try {
        CheckGraphResult(MakeHResult(0x80000123));
        FAIL() << "no exception";
    } catch (const EDirectShowException& e) {
        EXPECT_EQ(e.Message(), " ($80000123).");
    }
}

// ---- lists and stored monikers ----------------------------------------------------------------

TEST(Lists, FilterAndPinSnapshots)
{
    ComPtr<IFilterGraph2> graph;
    CreateFilterGraphManager(IFilterGraph2::iid, graph.ReleaseAndGetVoid());
    ComPtr<IBaseFilter> a, b, c;
    CreateTestPatternSource(IBaseFilter::iid, a.ReleaseAndGetVoid());
    CreateSmartTee(IBaseFilter::iid, b.ReleaseAndGetVoid());
    CreateVideoRenderer(IBaseFilter::iid, c.ReleaseAndGetVoid());
    graph->AddFilter(a.Get(), "A");
    graph->AddFilter(b.Get(), "B");
    graph->AddFilter(c.Get(), "C");
    TFilterList filters(graph.Get());
    ASSERT_EQ(filters.Count(), 3);
    EXPECT_EQ(filters.Item(1).Get(), b.Get());
    EXPECT_EQ(filters.Remove(b.Get()), 1);
    EXPECT_EQ(filters.Count(), 2);
    EXPECT_EQ(filters.Remove(b.Get()), -1);
    EXPECT_THROW(filters.Item(2), EListError);
    EXPECT_EQ(TFilterList(nullptr).Count(), 0);
    EXPECT_EQ(TPinList(nullptr).Count(), 0);

    TPinList teePins(b.Get());
    ASSERT_EQ(teePins.Count(), 3);
    EXPECT_FALSE(teePins.Connected(0));
    ASSERT_EQ(graph->ConnectDirect(TPinList(a.Get()).Item(0).Get(), teePins.Item(0).Get(), nullptr), S_OK);
    EXPECT_TRUE(teePins.Connected(0));
    EXPECT_FALSE(teePins.Connected(1));
}

TEST(PersistentMemory, MonikerRoundTripThroughTheStoredForm)
{
    TBaseFilter stored;
    stored.StoreMoniker(TestSourceMoniker().Get());
    ASSERT_GT(stored.DataLength(), 16);
    std::vector<uint8_t> form;
    stored.WriteData(form);
    ASSERT_EQ(form.size(), static_cast<size_t>(stored.DataLength()) + 4);

    TBaseFilter loaded;
    EXPECT_EQ(loaded.ReadData(form.data(), form.size()), form.size());
    EXPECT_TRUE(loaded.Equals(stored));
    ComPtr<IBaseFilter> filter = loaded.BindFilter();
    ASSERT_TRUE(filter);
    CLSID clsid;
    filter->GetClassID(&clsid);
    EXPECT_EQ(clsid, CLSID_LumoraTestSource);

    // A damaged length never reads past the bytes given.
    form[0] = static_cast<uint8_t>(form[0] + 1);
    EXPECT_THROW(loaded.ReadData(form.data(), form.size()), EReadError);
    EXPECT_THROW(loaded.ReadData(form.data(), 3), EReadError);
}

TEST(PersistentMemory, EmptyBlocksAssignmentAndHasData)
{
    TBaseFilter block;
    block.StoreMoniker(nullptr);
    EXPECT_EQ(block.DataLength(), 0);
    EXPECT_EQ(block.Data(), nullptr);
    EXPECT_FALSE(block.LoadMoniker());
    EXPECT_FALSE(block.BindFilter());
    std::vector<uint8_t> form;
    block.WriteData(form);
    EXPECT_EQ(form, (std::vector<uint8_t>{0, 0, 0, 0}));

    TBaseFilter full;
    full.SetDataLength(3);
    EXPECT_EQ(full.Data()[2], 0);
    full.Data()[1] = 7;
    full.Assign(full);
    EXPECT_EQ(full.DataLength(), 3);
    EXPECT_EQ(full.Data()[1], 7);
    TBaseFilter copy;
    full.AssignTo(copy);
    EXPECT_TRUE(copy.Equals(full));
    copy.Assign(block);
    EXPECT_EQ(copy.DataLength(), 0);

    EXPECT_TRUE(block.HasData(nullptr)) << "no ancestor: always written";
    EXPECT_TRUE(block.HasData(&block)) << "empty blocks never compare equal";
    TBaseFilter same;
    same.Assign(full);
    EXPECT_FALSE(full.HasData(&same));
    same.Data()[0] = 1;
    EXPECT_TRUE(full.HasData(&same));
}

// ---- the device filter component -------------------------------------------------------------

TEST(Filter, JoinsOnceAndHasItsFilterOnlyWhileActive)
{
    TFilter filter;
    auto graph = std::make_unique<TFilterGraph>();
    filter.BaseFilter()->StoreMoniker(TestSourceMoniker().Get());
    filter.SetFilterGraph(graph.get());
    filter.SetFilterGraph(graph.get());
    EXPECT_EQ(graph->MemberCount(), 1);
    EXPECT_THROW(InterfaceOf<IBaseFilter>(filter), EIntfCastError);
    graph->SetActive(true);
    ComPtr<IBaseFilter> device = InterfaceOf<IBaseFilter>(filter);
    EXPECT_TRUE(Supports<IAMVideoProcAmp>(filter));
    EXPECT_TRUE(graph->Play());
    FILTER_STATE state;
    device->GetState(0, &state);
    EXPECT_EQ(state, State_Running);
    graph->SetActive(false);
    device->GetState(0, &state);
    EXPECT_EQ(state, State_Stopped);
    EXPECT_FALSE(filter.GetBaseFilter());

    // The graph goes first: the component forgets it.
    graph.reset();
    EXPECT_EQ(filter.FilterGraph(), nullptr);
}

TEST(Filter, EmptyMonikerGivesNoFilterAndTheGraphCarriesOn)
{
    TFilterGraph graph;
    TFilter filter;
    filter.SetFilterGraph(&graph);
    graph.SetActive(true);
    EXPECT_FALSE(filter.GetBaseFilter());
    EXPECT_TRUE(GraphFilterNames(graph).empty());
    try {
        InterfaceOf<IBaseFilter>(filter);
        FAIL();
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "Interface not supported");
    }
    filter.SetFilterGraph(nullptr);
}

// ---- the video window ------------------------------------------------------------------------

TEST(VideoWindow, OptionsAreNormalisedAndKeptAcrossTheRenderer)
{
    TVideoWindow window;
    for (auto [written, stored] : {std::pair{0u, 1u}, std::pair{17u, 1u}, std::pair{16u, 16u}, std::pair{4u, 4u}}) {
        window.VMROptions()->SetStreams(written);
        EXPECT_EQ(window.VMROptions()->Streams(), stored) << written;
    }
    EXPECT_EQ(window.VideoHandle(), reinterpret_cast<OAHWND>(&window));

    TFilterGraph graph;
    window.SetMode(vmVMR);
    ASSERT_EQ(window.Mode(), vmVMR);
    window.VMROptions()->SetPreferences(VMRPreferenceBit(vpForceMixer) | VMRPreferenceBit(vpForceOverlays));
    window.SetFilterGraph(&graph);
    graph.SetActive(true);
    EXPECT_EQ(window.VMROptions()->Preferences(), VMRPreferenceBit(vpForceMixer) | VMRPreferenceBit(vpForceOverlays));
    ComPtr<IVMRFilterConfig9> config = InterfaceOf<IVMRFilterConfig9>(window);
    DWORD streams = 0, prefs = 0;
    config->GetNumberOfStreams(&streams);
    config->GetRenderingPrefs(&prefs);
    EXPECT_EQ(streams, 4u);
    EXPECT_EQ(prefs, VMRPreferenceBit(vpForceOverlays)) << "the layer's own flag never reaches the renderer";

    // A changed option rebuilds the renderer while the graph is active.
    ComPtr<IBaseFilter> first = window.RendererFilter();
    window.VMROptions()->SetStreams(2);
    EXPECT_NE(window.RendererFilter().Get(), first.Get());
    InterfaceOf<IVMRFilterConfig9>(window)->GetNumberOfStreams(&streams);
    EXPECT_EQ(streams, 2u);

    try {
        window.VMROptions()->SetMode(vmrRenderless);
        FAIL() << "renderless needs an allocator";
    } catch (const EMediaKitException& e) {
        EXPECT_EQ(e.Message(), "Allocator class not set.");
    }
    window.SetFilterGraph(nullptr);
}

TEST(VideoWindow, RendererWindowAppearsOnPlayAndFollowsTheControl)
{
    QWidget form;
    form.resize(640, 480);
    TVideoWindow window(&form);
    window.setObjectName("VideoWindow1");
    window.setGeometry(20, 30, 320, 240);
    form.show();
    TFilterGraph graph;
    graph.SetMode(gmCapture);
    window.SetMode(vmVMR);
    TFilter filter;
    filter.BaseFilter()->StoreMoniker(TestSourceMoniker().Get());
    filter.SetFilterGraph(&graph);
    window.SetFilterGraph(&graph);
    window.SetFullScreen(true); // nothing connected: only stored
    window.SetFullScreen(false);
    graph.SetActive(true);
    CheckGraphResult(InterfaceOf<ICaptureGraphBuilder2>(graph)->RenderStream(
        &PIN_CATEGORY_PREVIEW, nullptr, InterfaceOf<IBaseFilter>(filter).Get(), nullptr, InterfaceOf<IBaseFilter>(window).Get()));
    EXPECT_EQ(FindRendererWindow(&form, "VideoWindow1"), nullptr) << "not before the graph plays";
    EXPECT_TRUE(graph.Play());
    // The caption that names the window comes with the renderer's first event.
    ASSERT_TRUE(WaitFor([&] { return FindRendererWindow(&form, "VideoWindow1") != nullptr; }));
    QWidget* video = FindRendererWindow(&form, "VideoWindow1");
    EXPECT_EQ(window.VideoHandle(), reinterpret_cast<OAHWND>(video));
    EXPECT_EQ(video->geometry(), QRect(20, 30, 320, 240));
    window.setGeometry(10, 10, 400, 300);
    EXPECT_EQ(video->geometry(), QRect(10, 10, 400, 300));
    window.move(50, 60);
    EXPECT_EQ(video->geometry(), QRect(50, 60, 400, 300));

    auto stats = Supports<IRendererStatistics>(window);
    ASSERT_TRUE(stats);
    ASSERT_TRUE(WaitFor([&] {
        uint64_t received = 0, painted = 0;
        stats->GetCounts(&received, &painted);
        return painted >= 2;
    }));
    graph.SetActive(false);
    EXPECT_EQ(window.VideoHandle(), reinterpret_cast<OAHWND>(&window));
    window.SetFilterGraph(nullptr);
    filter.SetFilterGraph(nullptr);
}

TEST(VideoWindow, WindowlessModeDrawsInsideTheControl)
{
    QWidget form;
    form.resize(400, 300);
    TVideoWindow window(&form);
    window.setObjectName("Windowless");
    window.setGeometry(10, 10, 200, 150);
    form.show();
    TFilterGraph graph;
    graph.SetMode(gmCapture);
    window.SetMode(vmVMR);
    window.VMROptions()->SetMode(vmrWindowless);
    TFilter filter;
    filter.BaseFilter()->StoreMoniker(TestSourceMoniker().Get());
    filter.SetFilterGraph(&graph);
    window.SetFilterGraph(&graph);
    graph.SetActive(true);
    EXPECT_TRUE(Supports<IVMRWindowlessControl9>(window));
    EXPECT_FALSE(Supports<IVideoWindow>(window)) << "no renderer window of its own";
    CheckGraphResult(InterfaceOf<ICaptureGraphBuilder2>(graph)->RenderStream(
        &PIN_CATEGORY_PREVIEW, nullptr, InterfaceOf<IBaseFilter>(filter).Get(), nullptr, InterfaceOf<IBaseFilter>(window).Get()));
    EXPECT_TRUE(graph.Play());
    QWidget* video = Supports<IRendererStatistics>(window)->Window();
    ASSERT_NE(video, nullptr);
    EXPECT_EQ(video->parentWidget(), &window);
    EXPECT_EQ(video->geometry(), QRect(0, 0, 200, 150));
    window.resize(300, 200);
    EXPECT_EQ(video->geometry(), QRect(0, 0, 300, 200));
    EXPECT_EQ(window.VideoHandle(), reinterpret_cast<OAHWND>(&window));
    window.SetFilterGraph(nullptr);
    filter.SetFilterGraph(nullptr);
}
