// The media framework on its own: connecting, converting, running and
// stopping real filters (test source, smart tee, converter, renderers),
// the event queue across threads, builder callbacks and device errors.

#include "GraphTestSupport.h"

#include "platform/dshow/PropertyFrame.h"
#include "platform/dshow/VideoRenderer.h"
#include "platform/dshow/WindowMessage.h"

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QMouseEvent>
#include <QSlider>
#include <QThread>
#include <QWidget>

#include <gtest/gtest.h>

#include <algorithm>

using namespace dshowtest;

namespace {

class Graph : public ::testing::Test {
protected:
    void SetUp() override
    {
        RegisterMediaFrameworkClasses();
        graph = Create<IFilterGraph2>(&CreateFilterGraphManager);
        builder = Create<ICaptureGraphBuilder2>(&CreateCaptureGraphBuilder);
        ASSERT_TRUE(graph && builder);
        ASSERT_EQ(builder->SetFiltergraph(graph.Get()), S_OK);
        source = Create<IBaseFilter>(&CreateTestPatternSource);
        ASSERT_EQ(graph->AddFilter(source.Get(), "Source"), S_OK);
    }
    void TearDown() override
    {
        if (auto control = graph.As<IMediaControl>())
            control->Stop();
    }

    ComPtr<GrabberSink> AddGrabber(std::vector<GUID> subtypes = {MEDIASUBTYPE_RGB32})
    {
        auto sink = ComPtr<GrabberSink>::Adopt(NewComObject<GrabberSink>(std::move(subtypes)));
        EXPECT_TRUE(SUCCEEDED(graph->AddFilter(sink.Get(), "Grabber")));
        return sink;
    }
    void UseFormat(const GUID& subtype, int w, int h, double fps)
    {
        auto config = source.As<IAMStreamConfig>();
        ASSERT_TRUE(config);
        const AM_MEDIA_TYPE type = MakeVideoType(subtype, w, h, fps);
        ASSERT_EQ(config->SetFormat(&type), S_OK);
    }

    ComPtr<IFilterGraph2> graph;
    ComPtr<ICaptureGraphBuilder2> builder;
    ComPtr<IBaseFilter> source;
};

uint32_t PixelAt(IMediaSample* sample, const AM_MEDIA_TYPE& type, int x, int y)
{
    BYTE* data = nullptr;
    sample->GetPointer(&data);
    return reinterpret_cast<const uint32_t*>(data)[static_cast<size_t>(y) * type.video.biWidth + x] & 0xFFFFFF;
}

int Channel(uint32_t pixel, int shift) { return static_cast<int>((pixel >> shift) & 0xFF); }

} // namespace

TEST_F(Graph, PreviewOfACaptureOnlySourceGoesThroughASmartTee)
{
    auto sink = AddGrabber();
    EXPECT_EQ(builder->RenderStream(&PIN_CATEGORY_PREVIEW, nullptr, source.Get(), nullptr, sink.Get()), VFW_S_NOPREVIEWPIN);
    EXPECT_EQ(FilterNames(graph.Get()), (std::vector<std::string>{"Source", "Grabber", "Smart Tee"}));

    // The capture stream is then served by the same tee.
    auto second = ComPtr<GrabberSink>::Adopt(NewComObject<GrabberSink>());
    ASSERT_EQ(graph->AddFilter(second.Get(), "Capture Grabber"), S_OK);
    EXPECT_EQ(builder->RenderStream(&PIN_CATEGORY_CAPTURE, nullptr, source.Get(), nullptr, second.Get()), S_OK);
    EXPECT_EQ(FilterNames(graph.Get()).size(), 4u);

    auto control = graph.As<IMediaControl>();
    ASSERT_EQ(control->Run(), S_OK);
    EXPECT_TRUE(WaitFor([&] { return sink->Count() >= 3 && second->Count() >= 3; }));
    ASSERT_EQ(control->Stop(), S_OK);
    const int stopped = sink->Count();
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_EQ(sink->Count(), stopped) << "frames arrived after Stop returned";
    OAFilterState state = -1;
    control->GetState(0, &state);
    EXPECT_EQ(state, State_Stopped);
}

TEST_F(Graph, CaptureFirstThenPreviewAlsoSharesOneTee)
{
    auto capture = AddGrabber();
    auto preview = AddGrabber();
    EXPECT_EQ(builder->RenderStream(&PIN_CATEGORY_CAPTURE, nullptr, source.Get(), nullptr, capture.Get()), S_OK);
    EXPECT_EQ(builder->RenderStream(&PIN_CATEGORY_PREVIEW, nullptr, source.Get(), nullptr, preview.Get()), VFW_S_NOPREVIEWPIN);
    const auto names = FilterNames(graph.Get());
    EXPECT_EQ(std::count(names.begin(), names.end(), std::string("Smart Tee")), 1);
    // Rendering the same category twice finds its pin taken.
    auto third = AddGrabber();
    EXPECT_EQ(builder->RenderStream(&PIN_CATEGORY_PREVIEW, nullptr, source.Get(), nullptr, third.Get()), VFW_E_ALREADY_CONNECTED);
}

// The converter is inserted when the pins share no format, and it keeps the
// picture: the source's RGB32 colours come back within rounding.
TEST_F(Graph, ConverterBridgesFormatsAndKeepsColours)
{
    struct Case {
        GUID subtype;
        int w, h;
    };
    for (const Case& c : {Case{MEDIASUBTYPE_YUY2, 320, 240}, Case{MEDIASUBTYPE_I420, 640, 480}}) {
        SCOPED_TRACE(SubtypeName(c.subtype));
        SetUp();
        UseFormat(c.subtype, c.w, c.h, 30);
        auto sink = AddGrabber();
        ASSERT_TRUE(SUCCEEDED(builder->RenderStream(&PIN_CATEGORY_CAPTURE, nullptr, source.Get(), nullptr, sink.Get())));
        const auto names = FilterNames(graph.Get());
        EXPECT_NE(std::find(names.begin(), names.end(), kColourConverterName), names.end());
        EXPECT_EQ(sink->Type().video.biWidth, c.w);
        EXPECT_TRUE(sink->Type().subtype == MEDIASUBTYPE_RGB32);

        ASSERT_EQ(graph.As<IMediaControl>()->Run(), S_OK);
        ASSERT_TRUE(WaitFor([&] { return sink->Count() >= 1; }));
        graph.As<IMediaControl>()->Stop();

        // The first bar is 75% grey-white; the last row is the dark band.
        auto sample = sink->Last();
        const uint32_t top = PixelAt(sample.Get(), sink->Type(), 1, 1);
        for (int shift : {0, 8, 16})
            EXPECT_NEAR(Channel(top, shift), 191, 6) << std::hex << top;
        const uint32_t bottom = PixelAt(sample.Get(), sink->Type(), 1, c.h - 1);
        EXPECT_NEAR(Channel(bottom, 8), 24, 6) << std::hex << bottom;
        REFERENCE_TIME start = -1, end = -1;
        EXPECT_EQ(sample->GetTime(&start, &end), S_OK);
        EXPECT_EQ(end - start, 333333);
    }
}

TEST_F(Graph, PictureControlsAndCrossbarChangeTheTestPicture)
{
    auto sink = AddGrabber();
    ASSERT_TRUE(SUCCEEDED(builder->RenderStream(&PIN_CATEGORY_CAPTURE, nullptr, source.Get(), nullptr, sink.Get())));
    ComPtr<IAMVideoProcAmp> procAmp;
    ASSERT_EQ(builder->FindInterface(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Video, source.Get(), IAMVideoProcAmp::iid,
                                     procAmp.ReleaseAndGetVoid()), S_OK);
    ComPtr<IAMCrossbar> crossbar;
    ASSERT_EQ(builder->FindInterface(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Video, source.Get(), IAMCrossbar::iid,
                                     crossbar.ReleaseAndGetVoid()), S_OK);
    long min = 0, max = 0, step = 0, def = 0, caps = 0;
    ASSERT_EQ(procAmp->GetRange(VideoProcAmp_Brightness, &min, &max, &step, &def, &caps), S_OK);
    EXPECT_EQ(procAmp->GetRange(VideoProcAmp_Gain, &min, &max, &step, &def, &caps), E_PROP_ID_UNSUPPORTED);
    EXPECT_EQ(procAmp->Set(VideoProcAmp_Brightness, 1000, VideoProcAmp_Flags_Manual), E_INVALIDARG);

    auto control = graph.As<IMediaControl>();
    auto frameAfter = [&](const std::function<void()>& change) {
        change();
        const int seen = sink->Count();
        EXPECT_TRUE(WaitFor([&] { return sink->Count() >= seen + 2; }));
        return PixelAt(sink->Last().Get(), sink->Type(), 1, 1);
    };
    ASSERT_EQ(control->Run(), S_OK);
    const uint32_t normal = frameAfter([] {});
    const uint32_t darker = frameAfter([&] { procAmp->Set(VideoProcAmp_Brightness, -100, VideoProcAmp_Flags_Manual); });
    EXPECT_LT(Channel(darker, 8), Channel(normal, 8) - 60);
    procAmp->Set(VideoProcAmp_Brightness, 0, VideoProcAmp_Flags_Manual);
    // The grey ramp starts black at its left edge (where the bars are white).
    const uint32_t ramp = frameAfter([&] { EXPECT_EQ(crossbar->Route(0, 1), S_OK); });
    long routed = -1;
    crossbar->get_IsRoutedTo(0, &routed);
    EXPECT_EQ(routed, 1);
    EXPECT_NE(ramp, normal);
    control->Stop();
}

TEST_F(Graph, StreamingErrorReachesTheNotifyWindowOnTheUiThread)
{
    struct Receiver : QObject {
        bool event(QEvent* e) override
        {
            if (e->type() != WindowMessageEvent::Type())
                return QObject::event(e);
            auto* m = static_cast<WindowMessageEvent*>(e);
            message = m->Message();
            instance = m->LParam();
            onUiThread = QThread::currentThread() == QCoreApplication::instance()->thread();
            ++count;
            return true;
        }
        long message = 0;
        intptr_t instance = 0;
        bool onUiThread = false;
        int count = 0;
    } receiver;

    auto events = graph.As<IMediaEventEx>();
    ASSERT_TRUE(events);
    events->SetNotifyWindow(reinterpret_cast<OAHWND>(&receiver), WM_APP + 1, 1234);
    auto sink = AddGrabber();
    ASSERT_TRUE(SUCCEEDED(builder->RenderStream(&PIN_CATEGORY_CAPTURE, nullptr, source.Get(), nullptr, sink.Get())));
    sink->SetReceiveResult(E_FAIL);
    ASSERT_EQ(graph.As<IMediaControl>()->Run(), S_OK);
    ASSERT_TRUE(WaitFor([&] { return receiver.count > 0; }));
    EXPECT_EQ(receiver.message, WM_APP + 1);
    EXPECT_EQ(receiver.instance, 1234);
    EXPECT_TRUE(receiver.onUiThread);

    long code = 0;
    LONG_PTR p1 = 0, p2 = 0;
    ASSERT_EQ(events->GetEvent(&code, &p1, &p2, 0), S_OK);
    EXPECT_EQ(code, EC_ERRORABORT);
    EXPECT_EQ(p1, E_FAIL);
    EXPECT_EQ(events->GetEvent(&code, &p1, &p2, 0), E_ABORT) << "the source sends one error and stops";

    // With notifications off, events queue without a message.
    events->SetNotifyFlags(1);
    receiver.count = 0;
    graph.As<IMediaControl>()->Stop();
    graph.As<IMediaControl>()->Run();
    ASSERT_TRUE(WaitFor([&] {
        return events->GetEvent(&code, &p1, &p2, 0) == S_OK;
    }));
    QCoreApplication::processEvents();
    EXPECT_EQ(receiver.count, 0);
}

TEST_F(Graph, RunFailsWhenAFilterCannotPauseAndLeavesEverythingStopped)
{
    auto sink = AddGrabber();
    ASSERT_TRUE(SUCCEEDED(builder->RenderStream(&PIN_CATEGORY_CAPTURE, nullptr, source.Get(), nullptr, sink.Get())));
    sink->pauseResult = HRESULT_DEVICE_BUSY;
    auto control = graph.As<IMediaControl>();
    EXPECT_EQ(control->Run(), HRESULT_DEVICE_BUSY);
    FILTER_STATE state = State_Running;
    source->GetState(0, &state);
    EXPECT_EQ(state, State_Stopped);
    sink->GetState(0, &state);
    EXPECT_EQ(state, State_Stopped);
    sink->pauseResult = S_OK;
    EXPECT_EQ(control->Run(), S_OK);
}

TEST_F(Graph, RemoveFilterDisconnectsBothSides)
{
    auto sink = AddGrabber();
    ASSERT_TRUE(SUCCEEDED(builder->RenderStream(&PIN_CATEGORY_CAPTURE, nullptr, source.Get(), nullptr, sink.Get())));
    ComPtr<IBaseFilter> tee;
    ASSERT_EQ(graph->FindFilterByName("Smart Tee", tee.GetAddressOf()), S_OK);
    ASSERT_EQ(graph->RemoveFilter(tee.Get()), S_OK);
    for (auto& pin : FilterPins(source.Get())) {
        ComPtr<IPin> peer;
        EXPECT_EQ(pin->ConnectedTo(peer.GetAddressOf()), VFW_E_NOT_CONNECTED);
    }
    ComPtr<IPin> peer;
    EXPECT_EQ(sink->InputPinPtr()->ConnectedTo(peer.GetAddressOf()), VFW_E_NOT_CONNECTED);
    EXPECT_EQ(graph->RemoveFilter(tee.Get()), VFW_E_NOT_FOUND);
    FILTER_INFO info;
    tee->QueryFilterInfo(&info);
    EXPECT_FALSE(info.pGraph);
}

// The builder callbacks on the graph's site: a filter the site rejects is
// not used, one it accepts is reported once created; a pin that cannot be
// rendered is reported too.
TEST_F(Graph, SiteCallbacksDecideOnIntermediateFilters)
{
    struct Site final : ComObject<IAMGraphBuilderCallback, IAMFilterGraphCallback> {
        HRESULT SelectedFilter(IMoniker* moniker) override
        {
            ComPtr<IPropertyBag> bag;
            moniker->BindToStorage(nullptr, nullptr, IPropertyBag::iid, bag.ReleaseAndGetVoid());
            VARIANT v;
            bag->Read("FriendlyName", &v, nullptr);
            selected.push_back(v.bstrVal);
            return accept ? S_OK : E_FAIL;
        }
        HRESULT CreatedFilter(IBaseFilter* filter) override
        {
            CLSID clsid;
            filter->GetClassID(&clsid);
            created.push_back(clsid);
            return S_OK;
        }
        HRESULT UnableToRender(IPin*) override
        {
            ++unable;
            return S_FALSE;
        }
        bool accept = false;
        std::vector<std::string> selected;
        std::vector<CLSID> created;
        int unable = 0;
    };
    auto site = ComPtr<Site>::Adopt(NewComObject<Site>());
    graph.As<IObjectWithSite>()->SetSite(static_cast<IAMGraphBuilderCallback*>(site.Get()));
    UseFormat(MEDIASUBTYPE_YUY2, 320, 240, 15);
    auto sink = AddGrabber();

    EXPECT_EQ(builder->RenderStream(&PIN_CATEGORY_CAPTURE, nullptr, source.Get(), nullptr, sink.Get()), VFW_E_CANNOT_CONNECT);
    EXPECT_EQ(site->selected, std::vector<std::string>(1, kColourConverterName));
    EXPECT_TRUE(site->created.empty());
    EXPECT_EQ(site->unable, 1);

    site->accept = true;
    ComPtr<IPin> teeCapture;
    ComPtr<IBaseFilter> tee;
    ASSERT_EQ(graph->FindFilterByName("Smart Tee", tee.GetAddressOf()), S_OK);
    ASSERT_EQ(builder->FindPin(tee.Get(), PINDIR_OUTPUT, &PIN_CATEGORY_CAPTURE, nullptr, TRUE, 0, teeCapture.GetAddressOf()), S_OK);
    EXPECT_EQ(graph->Connect(teeCapture.Get(), sink->InputPinPtr()), S_OK);
    ASSERT_EQ(site->created.size(), 1u);
    EXPECT_EQ(site->created[0], CLSID_Colour);
    graph.As<IObjectWithSite>()->SetSite(nullptr);
}

TEST_F(Graph, FindInterfaceLooksUpstreamFromARenderer)
{
    auto sink = AddGrabber();
    ASSERT_TRUE(SUCCEEDED(builder->RenderStream(&PIN_CATEGORY_PREVIEW, nullptr, source.Get(), nullptr, sink.Get())));
    ComPtr<IAMCrossbar> crossbar;
    EXPECT_EQ(builder->FindInterface(&LOOK_UPSTREAM_ONLY, nullptr, sink.Get(), IAMCrossbar::iid, crossbar.ReleaseAndGetVoid()), S_OK);
    EXPECT_TRUE(crossbar);
    ComPtr<IAMCrossbar> none;
    EXPECT_EQ(builder->FindInterface(&LOOK_DOWNSTREAM_ONLY, nullptr, sink.Get(), IAMCrossbar::iid, none.ReleaseAndGetVoid()), E_NOINTERFACE);
    EXPECT_FALSE(none);
}

// A device node that cannot be opened fails the connection with a text that
// says why, and the graph stays usable.
TEST_F(Graph, UnopenableDeviceGivesAClearErrorAndNoThreads)
{
    struct Case {
        const char* path;
        HRESULT expected;
        const char* text;
    };
    for (const Case& c : {Case{"/dev/video-not-there", HRESULT_DEVICE_NOT_CONNECTED, "The device is not connected."},
                          Case{"/proc/self/status", HRESULT_DEVICE_FAILURE, nullptr}}) {
        SCOPED_TRACE(c.path);
        ComPtr<IBaseFilter> device;
        ASSERT_EQ(CreateV4L2Source(DeviceIdentity{"v4l2", c.path, "Broken", CLSID_VideoCaptureSource}, IBaseFilter::iid,
                                   device.ReleaseAndGetVoid()), S_OK);
        ASSERT_EQ(graph->AddFilter(device.Get(), "Device"), S_OK);
        auto sink = AddGrabber();
        const HRESULT hr = builder->RenderStream(&PIN_CATEGORY_PREVIEW, nullptr, device.Get(), nullptr, sink.Get());
        EXPECT_TRUE(FAILED(hr));
        if (c.text) {
            EXPECT_EQ(hr, c.expected);
            char text[256];
            AMGetErrorTextA(hr, text, sizeof text);
            EXPECT_STREQ(text, c.text);
        }
        EXPECT_FALSE(device.As<IAMVideoProcAmp>());
        EXPECT_FALSE(device.As<IAMCrossbar>());
        EXPECT_EQ(graph->RemoveFilter(device.Get()), S_OK);
        EXPECT_EQ(graph->RemoveFilter(sink.Get()), S_OK);
    }
    // The test source still previews in the same graph.
    auto sink = AddGrabber();
    EXPECT_TRUE(SUCCEEDED(builder->RenderStream(&PIN_CATEGORY_PREVIEW, nullptr, source.Get(), nullptr, sink.Get())));
}

TEST(ErrorText, KnownCodesHaveTextsCutToTheBuffer)
{
    char text[256];
    EXPECT_GT(AMGetErrorTextA(VFW_E_CANNOT_RENDER, text, sizeof text), 0u);
    EXPECT_STREQ(text, "No combination of filters could be found to render the stream.");
    char small[8];
    EXPECT_EQ(AMGetErrorTextA(VFW_E_CANNOT_RENDER, small, sizeof small), 7u);
    EXPECT_STREQ(small, "No comb");
    EXPECT_EQ(AMGetErrorTextA(MakeHResult(0x8BADF00D), text, sizeof text), 0u);
    EXPECT_STREQ(text, "");
}

// The renderer paints the latest frame letter-boxed into its window, which
// follows its owner, caption and position.
TEST(Renderer, PaintsFramesIntoItsOwnedWindow)
{
    RegisterMediaFrameworkClasses();
    auto graph = Create<IFilterGraph2>(&CreateFilterGraphManager);
    auto builder = Create<ICaptureGraphBuilder2>(&CreateCaptureGraphBuilder);
    builder->SetFiltergraph(graph.Get());
    auto source = Create<IBaseFilter>(&CreateTestPatternSource);
    graph->AddFilter(source.Get(), "Source");
    for (auto factory : {&CreateVideoRenderer, &CreateVideoMixingRenderer9}) {
        auto renderer = Create<IBaseFilter>(factory);
        graph->AddFilter(renderer.Get(), "Renderer");
        ASSERT_TRUE(SUCCEEDED(builder->RenderStream(&PIN_CATEGORY_PREVIEW, nullptr, source.Get(), nullptr, renderer.Get())));
        QWidget owner;
        owner.resize(400, 400);
        auto window = renderer.As<IVideoWindow>();
        ASSERT_TRUE(window);
        window->put_Owner(reinterpret_cast<OAHWND>(&owner));
        window->put_Caption("Video");
        window->SetWindowPosition(10, 20, 200, 300);
        if (auto ar = renderer.As<IVMRAspectRatioControl9>())
            ar->SetAspectRatioMode(VMR9ARMode_LetterBox);
        owner.show();
        auto control = graph.As<IMediaControl>();
        ASSERT_EQ(control->Run(), S_OK);
        auto stats = renderer.As<IRendererStatistics>();
        uint64_t received = 0, painted = 0;
        ASSERT_TRUE(WaitFor([&] {
            stats->GetCounts(&received, &painted);
            return painted >= 3;
        }));
        // Paint delays are kept only from the first time someone takes them
        // (a preview left running must not pile them up).
        std::vector<REFERENCE_TIME> delays;
        ASSERT_EQ(stats->TakePaintDelays(&delays), S_OK);
        EXPECT_TRUE(delays.empty()) << delays.size() << " delays kept before anyone asked";
        const uint64_t paintedBefore = painted;
        ASSERT_TRUE(WaitFor([&] {
            stats->GetCounts(&received, &painted);
            return painted >= paintedBefore + 3;
        }));
        ASSERT_EQ(stats->TakePaintDelays(&delays), S_OK);
        EXPECT_FALSE(delays.empty());
        for (REFERENCE_TIME d : delays)
            EXPECT_GE(d, 0);
        QWidget* video = FindRendererWindow(&owner, "Video");
        ASSERT_TRUE(video);
        // Mouse input over the video goes to the message drain.
        struct Drain : QWidget {
            using QWidget::QWidget;
            void mousePressEvent(QMouseEvent* e) override { pressedAt = e->position().toPoint(); }
            QPoint pressedAt{-1, -1};
        } drain(&owner);
        drain.setGeometry(10, 20, 200, 300);
        window->put_MessageDrain(reinterpret_cast<OAHWND>(&drain));
        QMouseEvent press(QEvent::MouseButtonPress, QPointF(5, 7), video->mapToGlobal(QPointF(5, 7)), Qt::LeftButton,
                          Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(video, &press);
        EXPECT_EQ(drain.pressedAt, QPoint(5, 7));
        EXPECT_EQ(video->geometry(), QRect(10, 20, 200, 300));
        const QImage shot = video->grab().toImage();
        // 4:3 in a 200 x 300 box: black above and below, picture between.
        EXPECT_EQ(shot.pixelColor(100, 5), QColor(Qt::black));
        EXPECT_NE(shot.pixelColor(5, 100), QColor(Qt::black));
        control->Stop();
        graph->RemoveFilter(renderer.Get());
    }
}

// A preview no one can see (its window hidden or minimised) gets no frames:
// the source neither draws nor sends them to it, while the capture branch
// of the same tee gets every one. Shown again, the preview is live.
TEST(Renderer, PreviewNoOneCanSeeGetsNoFramesUntilShown)
{
    RegisterMediaFrameworkClasses();
    struct Case {
        const char* name;
        void (*hide)(QWidget&);
    };
    for (const Case& c : {Case{"hidden", [](QWidget& w) { w.hide(); }}, Case{"minimised", [](QWidget& w) { w.showMinimized(); }}}) {
        SCOPED_TRACE(c.name);
        auto graph = Create<IFilterGraph2>(&CreateFilterGraphManager);
        auto builder = Create<ICaptureGraphBuilder2>(&CreateCaptureGraphBuilder);
        builder->SetFiltergraph(graph.Get());
        auto source = Create<IBaseFilter>(&CreateTestPatternSource);
        auto capture = ComPtr<GrabberSink>::Adopt(NewComObject<GrabberSink>());
        auto renderer = Create<IBaseFilter>(&CreateVideoRenderer);
        graph->AddFilter(source.Get(), "Source");
        graph->AddFilter(capture.Get(), "Grabber");
        graph->AddFilter(renderer.Get(), "Renderer");
        ASSERT_EQ(builder->RenderStream(&PIN_CATEGORY_CAPTURE, nullptr, source.Get(), nullptr, capture.Get()), S_OK);
        ASSERT_TRUE(SUCCEEDED(builder->RenderStream(&PIN_CATEGORY_PREVIEW, nullptr, source.Get(), nullptr, renderer.Get())));
        QWidget owner;
        owner.resize(400, 400);
        auto window = renderer.As<IVideoWindow>();
        window->put_Owner(reinterpret_cast<OAHWND>(&owner));
        window->SetWindowPosition(0, 0, 320, 240);
        window->put_Visible(-1);
        owner.show();
        c.hide(owner);
        QCoreApplication::processEvents();

        auto control = graph.As<IMediaControl>();
        auto stats = renderer.As<IRendererStatistics>();
        uint64_t received = 0, painted = 0;
        ASSERT_EQ(control->Run(), S_OK);
        ASSERT_TRUE(WaitFor([&] { return capture->Count() >= 10; }));
        stats->GetCounts(&received, &painted);
        EXPECT_EQ(received, 0u) << "frames sent to a preview no one can see";
        EXPECT_EQ(painted, 0u);

        owner.showNormal();
        EXPECT_TRUE(WaitFor([&] {
            stats->GetCounts(&received, &painted);
            return painted >= 3;
        })) << received << " received, " << painted << " painted once shown";
        control->Stop();
    }
}

// The property frame applies changes as they are made; Cancel takes them back.
TEST(PropertyFrame, AppliesLiveAndCancelRestores)
{
    auto source = Create<IBaseFilter>(&CreateTestPatternSource);
    auto pages = source.As<ISpecifyPropertyPages>();
    CAUUID ids;
    ASSERT_EQ(pages->GetPages(&ids), S_OK);
    IUnknown* objects[] = {source.Get()};
    auto procAmp = source.As<IAMVideoProcAmp>();
    auto crossbar = source.As<IAMCrossbar>();
    long value = 0, flags = 0, routed = -1;

    struct Case {
        bool cancel;
        long brightness;
        long input;
    };
    for (const Case& c : {Case{false, 40, 1}, Case{true, 40, 1}}) {
        long seenWhileOpen = -999;
        SetPropertyFrameHook([&](QDialog& dialog) {
            auto* slider = dialog.findChild<QSlider*>("sliderBrightness");
            auto* inputs = dialog.findChild<QComboBox*>("cbInput");
            ASSERT_TRUE(slider && inputs);
            EXPECT_EQ(slider->minimum(), -100);
            EXPECT_EQ(dialog.findChild<QSlider*>("sliderGain"), nullptr) << "the source has no gain";
            slider->setValue(c.brightness + 1); // a change, so the second case starts from a known value
            slider->setValue(c.brightness);
            inputs->setCurrentIndex(static_cast<int>(c.input));
            procAmp->Get(VideoProcAmp_Brightness, &seenWhileOpen, &flags);
            if (c.cancel)
                dialog.reject();
        });
        procAmp->Set(VideoProcAmp_Brightness, 0, VideoProcAmp_Flags_Manual);
        crossbar->Route(0, 0);
        EXPECT_EQ(OleCreatePropertyFrame(0, 30, 30, nullptr, 1, objects, ids.cElems, ids.pElems, 0, 0, nullptr), S_OK);
        EXPECT_EQ(seenWhileOpen, c.brightness);
        procAmp->Get(VideoProcAmp_Brightness, &value, &flags);
        crossbar->get_IsRoutedTo(0, &routed);
        EXPECT_EQ(value, c.cancel ? 0 : c.brightness);
        EXPECT_EQ(routed, c.cancel ? 0 : c.input);
    }
    SetPropertyFrameHook(nullptr);
    // Pages the object cannot serve are left out; none left: no frame.
    auto renderer = Create<IBaseFilter>(&CreateVideoRenderer);
    IUnknown* none[] = {renderer.Get()};
    EXPECT_EQ(OleCreatePropertyFrame(0, 0, 0, nullptr, 1, none, ids.cElems, ids.pElems, 0, 0, nullptr), E_INVALIDARG);
    CoTaskMemFree(ids.pElems);
}
