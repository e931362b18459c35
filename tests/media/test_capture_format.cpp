// The capture format a stream needs: the cheapest the device offers that is
// still as large and as fast as the stream, and the test source set to it
// through the capture graph builder.
#include "media/CaptureFormat.h"
#include "media/MediaKit.h"
#include "platform/dshow/Filters.h"

#include <gtest/gtest.h>

namespace {

AM_MEDIA_TYPE Offer(const GUID& subtype, int width, int height, double fps)
{
    return MakeVideoType(subtype, width, height, fps);
}

const REFERENCE_TIME k15 = 666667, k30 = 333333;

TEST(CaptureFormat, TheCheapestOfferThatIsLargeAndFastEnough)
{
    const std::vector<AM_MEDIA_TYPE> camera = {
        Offer(MEDIASUBTYPE_YUY2, 640, 480, 30), // the device's first choice
        Offer(MEDIASUBTYPE_YUY2, 640, 480, 15),
        Offer(MEDIASUBTYPE_MJPG, 320, 240, 30),
        Offer(MEDIASUBTYPE_YUY2, 320, 240, 10),
        Offer(MEDIASUBTYPE_YUY2, 352, 288, 15),
        Offer(MEDIASUBTYPE_MJPG, 1280, 720, 30),
    };
    struct Case {
        const char* name;
        CaptureNeed need;
        int chosen;
    };
    const Case cases[] = {
        // 352 x 288 at 15 (1.5 Mpx/s) beats MJPEG 320 x 240 at 30 (2.3 M
        // counted thrice) and the slow 320 x 240.
        {"small and slow", {320, 240, k15}, 4},
        {"needs 30 a second", {320, 240, k30}, 2},
        {"larger than 352 x 288", {640, 480, k15}, 1},
        {"only the largest is large enough", {1280, 720, k30}, 5},
        {"nothing that large", {1920, 1080, k15}, -1},
        {"no rate known", {320, 240, 0}, -1},
        {"no size known", {0, 0, k15}, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ChooseCaptureFormat(camera, c.need), c.chosen);
    }
    // Equal cost: the device's order decides.
    EXPECT_EQ(ChooseCaptureFormat({Offer(MEDIASUBTYPE_RGB32, 320, 240, 15), Offer(MEDIASUBTYPE_I420, 320, 240, 15)},
                  {320, 240, k15}),
        0);
    // An audio type or a partial one is never chosen.
    AM_MEDIA_TYPE partial = Offer(MEDIASUBTYPE_YUY2, 320, 240, 15);
    partial.formattype = GUID_NULL;
    EXPECT_EQ(ChooseCaptureFormat({partial}, {320, 240, k15}), -1);
}

TEST(CaptureFormat, TheTestSourceCapturesAtTheStreamsSizeAndRate)
{
    TFilterGraph graph;
    graph.SetMode(gmCapture);
    graph.SetActive(true);
    ComPtr<IBaseFilter> source;
    ASSERT_EQ(CreateTestPatternSource(IBaseFilter::iid, source.ReleaseAndGetVoid()), S_OK);
    ASSERT_EQ(Supports<IFilterGraph>(graph)->AddFilter(source.Get(), "Source"), S_OK);
    auto builder = InterfaceOf<ICaptureGraphBuilder2>(graph);
    ComPtr<IAMStreamConfig> config;
    ASSERT_EQ(builder->FindInterface(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Video, source.Get(), IAMStreamConfig::iid,
                  config.ReleaseAndGetVoid()),
        S_OK);
    AM_MEDIA_TYPE before;
    ASSERT_EQ(config->GetFormat(&before), S_OK);
    EXPECT_EQ(DescribeMediaType(before), "RGB32 640x480 30fps") << "the source's own choice";

    ASSERT_TRUE(ApplyCaptureFormat(builder.Get(), source.Get(), {320, 240, k15}));
    AM_MEDIA_TYPE after;
    ASSERT_EQ(config->GetFormat(&after), S_OK);
    EXPECT_EQ(DescribeMediaType(after), "RGB32 320x240 15fps");
    EXPECT_FALSE(ApplyCaptureFormat(builder.Get(), source.Get(), {1280, 720, k15})) << "nothing fits: left alone";
    graph.SetActive(false);
}

} // namespace
