#include "images/GifImage.h"
#include "tests/images/GifFixtures.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

using giftest::CodeWriter;
using giftest::GifBuilder;
using giftest::LzwUncompressed;
using giftest::TestColour;

namespace {

// Loads a file the way the viewer does (reader, then strip); the error
// text, or "" when it loads.
std::string LoadError(const std::vector<uint8_t>& bytes)
{
    try {
        TGif gif;
        gif.LoadFromMemory(bytes.data(), bytes.size());
        TGIFImage image(gif);
        return "";
    } catch (const EInvalidGraphicOperation& e) {
        return e.Message();
    }
}

TGif Load(const std::vector<uint8_t>& bytes)
{
    TGif gif;
    gif.LoadFromMemory(bytes.data(), bytes.size());
    return gif;
}


std::vector<uint8_t> OnePixelFrames(int width, int height, int frames, bool transparent)
{
    GifBuilder b(width, height, 1);
    for (int i = 0; i < frames; ++i) {
        b.GraphicControl(0, transparent, 0, 1);
        b.Image(0, 0, 1, 1, {0}, 2);
    }
    return b.Trailer().Data();
}

} // namespace

TEST(GifReader, ErrorTable)
{
    EXPECT_STREQ(TGif::ErrorText(0), "no error");
    EXPECT_STREQ(TGif::ErrorText(26), "next message");
    EXPECT_STREQ(TGif::ErrorText(27), "");

    const auto image = [](GifBuilder b) { return b.Image(0, 0, 2, 2, {1, 2, 3, 4}).Trailer().Data(); };
    CodeWriter beyond;
    beyond.Put(256, 9).Put(1, 9).Put(300, 9).Put(257, 9);
    auto truncated = image(GifBuilder(2, 2));
    truncated.resize(truncated.size() - 4);

    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        std::string message;
    } cases[] = {
        {"bad signature", GifBuilder(2, 2, 8, "GIF90a").Image(0, 0, 1, 1, {1}).Data(), "TGif: Invalid GIF Signature Code"},
        {"short file", {'G', 'I', 'F'}, "TGif: Invalid GIF Signature Code"},
        {"no colour table", image(GifBuilder(2, 2, 0)), "TGif: No Local or Global Color Table for Image"},
        {"unknown block", GifBuilder(2, 2).Bytes({0x99}).Data(), "TGif: Unknown Graphics Operation Code"},
        {"graphic control size", GifBuilder(2, 2).Bytes({0x21, 0xF9, 5, 0, 0, 0, 0, 0, 0}).Data(),
         "TGif: Invalid Extension Block Size"},
        {"plain text size", GifBuilder(2, 2).Bytes({0x21, 0x01, 11, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}).Data(),
         "TGif: Invalid Extension Block Size"},
        {"application size", GifBuilder(2, 2).Bytes({0x21, 0xFF, 10, 'N', 'E', 'T', 'S', 'C', 'A', 'P', 'E', '2', '.', 0}).Data(),
         "TGif: Invalid Extension Block Size"},
        {"unknown extension", image(GifBuilder(2, 2).Bytes({0x21, 0x02, 0})), "TGif: unknown extension: 0002"},
        {"unknown extension AB", image(GifBuilder(2, 2).Bytes({0x21, 0xAB, 0})), "TGif: unknown extension: 00AB"},
        {"graphic control terminator", image(GifBuilder(2, 2).Bytes({0x21, 0xF9, 4, 0, 0, 0, 0, 9})),
         "TGif: Invalid Extension Block Terminator"},
        {"code size 12", GifBuilder(2, 2).ImageData(0, 0, 1, 1, 12, {0, 0, 0}).Data(), "TGif: Invalid LZW Code Size"},
        {"code beyond table", GifBuilder(2, 2).ImageData(0, 0, 2, 2, 8, beyond.Bytes()).Data(), "TGif: Invalid LZW Data Format"},
        {"no image", GifBuilder(2, 2).Comment("empty").Trailer().Data(), "TGif: No Image Description"},
        {"truncated data", truncated, "TGif: Unexpected end of file"},
        {"truncated screen", {'G', 'I', 'F', '8', '9', 'a', 2, 0, 2}, "TGif: Unexpected end of file"},
        {"truncated colour table", [] { auto d = GifBuilder(2, 2).Data(); d.resize(100); return d; }(),
         "TGif: Unexpected end of file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(LoadError(c.bytes), c.message);
    }
}

TEST(GifReader, AcceptedVariants)
{
    const auto pixels = std::vector<uint8_t>{1, 2, 3, 4};
    const std::vector<uint8_t> files[] = {
        GifBuilder(2, 2, 8, "gif89a").Image(0, 0, 2, 2, pixels).Trailer().Data(),
        GifBuilder(2, 2, 8, "GIF87a").Image(0, 0, 2, 2, pixels).Trailer().Data(),
        GifBuilder(2, 2).Image(0, 0, 2, 2, pixels).Data(), // no trailer
        GifBuilder(2, 2).Image(0, 0, 2, 2, pixels).Bytes({0}).Bytes({0x99}).Data(), // a 0 byte ends it too
        GifBuilder(2, 2)
            .Comment("made by hand")
            .Bytes({0x21, 0x01, 12, 0, 0, 0, 0, 2, 0, 2, 0, 8, 8, 1, 0, 2, 'h', 'i', 0})
            .Bytes({0x21, 0xFF, 11, 'X', 'M', 'P', ' ', 'D', 'a', 't', 'a', 'X', 'M', 'P', 1, 'x', 0})
            .Image(0, 0, 2, 2, pixels)
            .Trailer()
            .Data(),
    };
    for (const auto& file : files) {
        const TGif gif = Load(file);
        ASSERT_EQ(gif.ImageCount(), 1);
        EXPECT_EQ(gif.Images()[0].Pixels, pixels);
        EXPECT_EQ(gif.LoopCount(), -1);
    }
    EXPECT_EQ(Load(files[0]).Signature(), "GIF89A");
    EXPECT_EQ(Load(files[4]).Images()[0].Extensions.size(), 3u);
    EXPECT_EQ(TGif().Signature(), "------");
}

TEST(GifReader, ImageGeometry)
{
    // A 4x6 image on a 4x3 screen is cut to the screen's height; the width
    // is kept as read.
    std::vector<uint8_t> tall(24);
    for (size_t i = 0; i < tall.size(); ++i)
        tall[i] = uint8_t(i);
    const TGif gif = Load(GifBuilder(3, 3).Image(1, 0, 4, 6, tall).Trailer().Data());
    EXPECT_EQ(gif.ImageWidth(0), 4);
    EXPECT_EQ(gif.ImageHeight(0), 3);
    EXPECT_EQ(gif.ImageLeft(0), 1);
    EXPECT_EQ(gif.Images()[0].Pixels, std::vector<uint8_t>(tall.begin(), tall.begin() + 12));
    // The strip takes only the part on the screen.
    TPlainBitmap strip, mask;
    gif.GetStripBitmap(strip, mask);
    EXPECT_EQ(strip.Width(), 3);
    EXPECT_EQ(strip.Pixel(0, 0), 0u);
    EXPECT_EQ(strip.Pixel(1, 2), TestColour(8));
    EXPECT_EQ(strip.Pixel(2, 2), TestColour(9));
    EXPECT_TRUE(mask.IsEmpty());

    // An image placed below the bottom edge, and one partly below it, are
    // clipped rather than written outside the strip.
    const TGif low = Load(GifBuilder(2, 2).Image(0, 1, 2, 2, {1, 2, 3, 4}).Image(0, 7, 1, 1, {5}).Trailer().Data());
    low.GetStripBitmap(strip, mask);
    EXPECT_EQ(strip.Pixel(0, 1), TestColour(1));
    EXPECT_EQ(strip.Pixel(3, 1), TestColour(2));

    // A screen without width still loads, with an empty strip.
    const TGif flat = Load(GifBuilder(0, 3).GraphicControl(2, true, 0, 1).Image(0, 0, 2, 2, {1, 2, 3, 4})
                               .Image(1, 1, 1, 1, {3}).Trailer().Data());
    flat.GetStripBitmap(strip, mask);
    EXPECT_TRUE(strip.IsEmpty());

    // A zero-size image holds no pixels.
    CodeWriter endOnly;
    endOnly.Put(257, 9);
    const TGif empty = Load(GifBuilder(2, 2).ImageData(0, 0, 0, 5, 8, endOnly.Bytes()).Trailer().Data());
    EXPECT_EQ(empty.Images()[0].PixelSize, 0u);
    EXPECT_THROW(empty.ImageLeft(1), EInvalidGraphicOperation);
    EXPECT_THROW(empty.ImageDelay(-1), EInvalidGraphicOperation);
    try {
        empty.TransparentIndex(3);
    } catch (const EInvalidGraphicOperation& e) {
        EXPECT_EQ(e.Message(), "TGif: Value Out Of Range");
        EXPECT_EQ(e.ErrorCode(), 15);
    }
}

TEST(GifReader, InterlacedRows)
{
    // Stored rows of a 10-row image: 0 8 | 4 | 2 6 | 1 3 5 7 9.
    std::vector<uint8_t> stored(10);
    for (int i = 0; i < 10; ++i)
        stored[size_t(i)] = uint8_t(i);
    const TGif gif = Load(GifBuilder(1, 10).Image(0, 0, 1, 10, stored, 8, true).Trailer().Data());
    EXPECT_EQ(gif.Images()[0].Pixels, (std::vector<uint8_t>{0, 5, 3, 6, 2, 7, 4, 8, 1, 9}));

    // More data than rows: an interlaced image starts its first pass again,
    // a plain one drops the rest.
    const TGif again = Load(GifBuilder(1, 3).Image(0, 0, 1, 3, {1, 2, 3, 4}, 8, true).Trailer().Data());
    EXPECT_EQ(again.Images()[0].Pixels, (std::vector<uint8_t>{4, 3, 2}));
    const TGif plain = Load(GifBuilder(1, 3).Image(0, 0, 1, 3, {1, 2, 3, 4}).Trailer().Data());
    EXPECT_EQ(plain.Images()[0].Pixels, (std::vector<uint8_t>{1, 2, 3}));

    // Less data than rows: the rows never reached stay 0, also after an
    // earlier interlaced image of the same size.
    const TGif shortData = Load(GifBuilder(1, 4).Image(0, 0, 1, 4, {5, 5, 5, 5}, 8, true)
                                    .Image(0, 0, 1, 4, {7}, 8, true).Trailer().Data());
    EXPECT_EQ(shortData.Images()[1].Pixels, (std::vector<uint8_t>{7, 0, 0, 0}));
}

// Three frames on a 3x2 screen (colour n = TestColour(n)):
//   frame 0: full screen, index 5 transparent: .  1  2 / 3  5  .
//   frame 1: 2x1 at (1,1), disposal 2, index 5 transparent: 7 5
//   frame 2: 1x1 at (0,0), opaque: 8
TEST(GifReader, FilmStripComposition)
{
    const auto bytes = GifBuilder(3, 2)
                           .GraphicControl(1, true, 10, 5)
                           .Image(0, 0, 3, 2, {5, 1, 2, 3, 5, 5})
                           .GraphicControl(2, true, 10, 5)
                           .Image(1, 1, 2, 1, {7, 5})
                           .GraphicControl(0, false, 10)
                           .Image(0, 0, 1, 1, {8}, 8, false, 8)
                           .Trailer()
                           .Data();
    const TGif gif = Load(bytes);
    ASSERT_TRUE(gif.IsTransparent());
    EXPECT_EQ(gif.TransparentIndex(0), 5);
    EXPECT_EQ(gif.TransparentIndex(2), -1);
    EXPECT_EQ(gif.ImageDisposalMethod(1), 2);
    TPlainBitmap strip, mask;
    gif.GetStripBitmap(strip, mask);
    ASSERT_EQ(strip.Width(), 9);
    ASSERT_EQ(mask.Width(), 9);
    const uint32_t K = 0; // black
    const uint32_t expected[2][9] = {
        {K, TestColour(1), TestColour(2), K, TestColour(1), TestColour(2), TestColour(255 - 8), TestColour(1), TestColour(2)},
        {TestColour(3), K, K, TestColour(3), TestColour(7), K, TestColour(3), TestColour(7), K},
    };
    const uint8_t T = MaskTransparent, O = MaskOpaque;
    const uint8_t expectedMask[2][9] = {
        {T, O, O, T, O, O, O, O, O},
        // frame 1's area is transparent again in frame 2 (disposal 2)
        {O, T, T, O, O, T, O, T, T},
    };
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 9; ++x) {
            SCOPED_TRACE("x " + std::to_string(x) + " y " + std::to_string(y));
            EXPECT_EQ(strip.Pixel(x, y), expected[y][x]);
            EXPECT_EQ(mask.Row(y)[x], expectedMask[y][x]);
        }
}

TEST(GifReader, ColourIndexBeyondTable)
{
    // A 2-colour global table with pixels coded at 2 bits: 2 and 3 are black.
    const TGif gif = Load(GifBuilder(4, 1, 1).Image(0, 0, 4, 1, {0, 1, 2, 3}, 2).Trailer().Data());
    TPlainBitmap strip, mask;
    gif.GetStripBitmap(strip, mask);
    EXPECT_EQ(strip.Pixel(1, 0), TestColour(1));
    EXPECT_EQ(strip.Pixel(2, 0), 0u);
    EXPECT_EQ(strip.Pixel(3, 0), 0u);
}

TEST(GifReader, StripSizeLimits)
{
    // 10 frames on a 2000x2000 screen: 3 * 20000 * 2000 + 54 = 120 000 054
    // bytes, under the opaque limit and over the transparent one.
    EXPECT_EQ(TGif::StripDibSize(2000, 2000, 10), 120000054);
    EXPECT_EQ(LoadError(OnePixelFrames(2000, 2000, 10, true)), "TGif: Animated GIF too large");
    bool still = true;
    const auto bytes = OnePixelFrames(2000, 2000, 10, false);
    auto image = LoadGIFImage(bytes.data(), bytes.size(), still);
    ASSERT_TRUE(image);
    EXPECT_FALSE(still);
    EXPECT_EQ(image->NumFrames(), 10);
    EXPECT_EQ(image->StripBitmap().Width(), 20000);
    EXPECT_EQ(image->StripBitmap().Pixel(18000, 0), TestColour(0));
    EXPECT_EQ(image->StripBitmap().Pixel(19999, 1999), 0u);

    // A huge screen with a huge image fails before the image takes memory;
    // so does an image far wider than a small screen.
    const auto huge = GifBuilder(65535, 65535, 1).ImageData(0, 0, 65535, 65535, 2, {}).Data();
    EXPECT_EQ(LoadError(huge), "TGif: Animated GIF too large");
    const auto wide = GifBuilder(1, 65535, 1).ImageData(0, 0, 65535, 65535, 2, {}).Data();
    EXPECT_EQ(LoadError(wide), "TGif: Animated GIF too large");

    // Many small frames are fine.
    image = LoadGIFImage(OnePixelFrames(1, 1, 10000, false).data(), OnePixelFrames(1, 1, 10000, false).size(), still);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->NumFrames(), 10000);
}

TEST(GifAnimation, DelaysAndIterations)
{
    struct Case {
        std::vector<int> delays; // -1: no graphic control
        int loops;               // -1: no NETSCAPE block
        std::vector<int> milliseconds;
        int iterations;
    } cases[] = {
        {{0, 5, -1, 100}, -1, {30, 50, 30, 1000}, 1},
        {{3, 4}, 0, {30, 40}, 0},
        {{1, 1}, 2, {30, 30}, 3},
        {{7}, 1, {70}, 2},
    };
    for (const Case& c : cases) {
        GifBuilder b(2, 2);
        if (c.loops >= 0)
            b.Netscape(c.loops);
        for (int delay : c.delays) {
            if (delay >= 0)
                b.GraphicControl(0, false, delay);
            b.Image(0, 0, 1, 1, {1});
        }
        const TGif gif = Load(b.Trailer().Data());
        EXPECT_EQ(gif.LoopCount(), c.loops);
        TGIFImage image(gif);
        EXPECT_EQ(image.NumIterations(), c.iterations);
        EXPECT_EQ(image.IsAnimated(), c.delays.size() > 1);
        for (size_t i = 0; i < c.delays.size(); ++i) {
            EXPECT_EQ(image.Frames()[i].DelayMs, c.milliseconds[i]);
            EXPECT_EQ(gif.ImageDelay(int(i)), c.delays[i] > 0 ? c.delays[i] : 1);
        }
    }
}

namespace {

struct AnimationRun {
    std::vector<int> shown; // frame after each change
    std::vector<TImageRect> invalidated;
    uint32_t stoppedAt = 0;
};

// Plays an animation on a simulated millisecond clock, ticking every 10 ms.
AnimationRun Play(TGIFImage& image, uint32_t limit, uint32_t start = 1000)
{
    AnimationRun run;
    uint32_t now = start;
    image.Clock = [&now] { return now; };
    image.OnInvalidate = [&](const TImageRect& r) { run.invalidated.push_back(r); };
    image.SetAnimate(true);
    for (uint32_t t = 0; t < limit && image.Animate(); t += 10) {
        now = start + t;
        const int before = image.CurrentFrame();
        image.Tick();
        if (image.CurrentFrame() != before)
            run.shown.push_back(image.CurrentFrame());
        if (!image.Animate())
            run.stoppedAt = t;
    }
    image.Clock = nullptr;
    image.OnInvalidate = nullptr;
    return run;
}

TGif ThreeFrames(int loops, int delay)
{
    GifBuilder b(2, 1);
    if (loops >= 0)
        b.Netscape(loops);
    for (int i = 0; i < 3; ++i)
        b.GraphicControl(0, false, delay).Image(i % 2, 0, 1, 1, {uint8_t(i + 1)});
    return Load(b.Trailer().Data());
}

} // namespace

TEST(GifAnimation, PlaysTheRightNumberOfTimes)
{
    // Loop count 2: three plays, ending on the last frame.
    TGIFImage twice(ThreeFrames(2, 5));
    const AnimationRun run = Play(twice, 100000);
    EXPECT_EQ(run.shown, (std::vector<int>{2, 3, 1, 2, 3, 1, 2, 3}));
    EXPECT_EQ(run.stoppedAt, 8 * 50u + 50);
    EXPECT_EQ(twice.CurrentIteration(), 3);
    EXPECT_EQ(twice.CurrentFrame(), 3);

    TGIFImage once(ThreeFrames(-1, 5));
    EXPECT_EQ(Play(once, 100000).shown, (std::vector<int>{2, 3}));

    TGIFImage forever(ThreeFrames(0, 5));
    const AnimationRun endless = Play(forever, 3000);
    EXPECT_TRUE(forever.Animate());
    EXPECT_EQ(endless.shown.size(), 3000u / 50 - 1);

    // The millisecond clock wrapping around does not stall the animation.
    TGIFImage wrap(ThreeFrames(0, 5));
    EXPECT_EQ(Play(wrap, 200, 0xFFFFFFFFu - 60).shown, (std::vector<int>{2, 3, 1}));

    // A still image never animates.
    bool still = false;
    const auto one = GifBuilder(1, 1).Image(0, 0, 1, 1, {1}).Data();
    auto image = LoadGIFImage(one.data(), one.size(), still);
    ASSERT_TRUE(image);
    EXPECT_TRUE(still);
    image->SetAnimate(true);
    EXPECT_FALSE(image->Animate());
}

TEST(GifAnimation, DrawsTheCurrentFrame)
{
    TGIFImage image(ThreeFrames(0, 5));
    ASSERT_EQ(image.Width(), 2);
    TPlainBitmap canvasBitmap(8, 4, TPixelFormat::pfRGB24, 0x11);
    TBitmapCanvas canvas(canvasBitmap);
    const TImageRect dest{2, 1, 6, 3}; // doubled in both directions

    image.Draw(canvas, dest);
    EXPECT_EQ(canvasBitmap.Pixel(2, 1), TestColour(1));
    EXPECT_EQ(canvasBitmap.Pixel(3, 2), TestColour(1));
    EXPECT_EQ(canvasBitmap.Pixel(4, 1), 0u); // right half of frame 1 is black
    EXPECT_EQ(canvasBitmap.Pixel(1, 1), 0x111111u);
    EXPECT_EQ(canvasBitmap.Pixel(6, 1), 0x111111u);

    // The next frame invalidates the rectangle last drawn into.
    std::vector<TImageRect> invalidated;
    image.OnInvalidate = [&](const TImageRect& r) { invalidated.push_back(r); };
    uint32_t now = 0;
    image.Clock = [&now] { return now; };
    image.SetAnimate(true);
    now = 49;
    image.Tick();
    EXPECT_EQ(image.CurrentFrame(), 1);
    now = 50;
    image.Tick();
    ASSERT_EQ(image.CurrentFrame(), 2);
    ASSERT_EQ(invalidated.size(), 1u);
    EXPECT_EQ(invalidated[0], dest);
    image.Draw(canvas, dest);
    EXPECT_EQ(canvasBitmap.Pixel(2, 1), TestColour(1)); // kept from frame 1
    EXPECT_EQ(canvasBitmap.Pixel(5, 2), TestColour(2));

    image.SetCurrentFrame(3);
    image.SetVisible(false);
    TPlainBitmap untouched(8, 4, TPixelFormat::pfRGB24, 0x22);
    TBitmapCanvas other(untouched);
    image.Draw(other, dest);
    EXPECT_EQ(untouched.Pixel(3, 2), 0x222222u);

    const TPlainBitmap first = image.Bitmap();
    EXPECT_EQ(first.Width(), 2);
    EXPECT_EQ(first.Pixel(0, 0), TestColour(1));
    EXPECT_TRUE(image.Mask().IsEmpty());
}

TEST(GifAnimation, TransparentDrawingKeepsTheBackground)
{
    const auto bytes = GifBuilder(2, 1).GraphicControl(0, true, 0, 4).Image(0, 0, 2, 1, {4, 3}).Data();
    bool still = false;
    auto image = LoadGIFImage(bytes.data(), bytes.size(), still);
    ASSERT_TRUE(image);
    EXPECT_TRUE(image->IsTransparent());
    TPlainBitmap target(2, 1, TPixelFormat::pfRGB24, 0x33);
    TBitmapCanvas canvas(target);
    image->Draw(canvas, {0, 0, 2, 1});
    EXPECT_EQ(target.Pixel(0, 0), 0x333333u);
    EXPECT_EQ(target.Pixel(1, 0), TestColour(3));
    EXPECT_EQ(image->Mask().Row(0)[0], MaskTransparent);
}

TEST(GifLoader, FilesAndStreams)
{
    testsupport::TempDir dir;
    const auto bytes = GifBuilder(2, 2).Image(0, 0, 2, 2, {1, 2, 3, 4}).Image(0, 0, 1, 1, {5}).Trailer().Data();
    const std::string good = dir.file("good.gif");
    std::ofstream(good, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), long(bytes.size()));
    const std::string bad = dir.file("bad.gif");
    testsupport::WriteFileText(bad, "GIF89a\x02");

    bool still = true;
    auto image = LoadGIFImage(good, still);
    ASSERT_TRUE(image);
    EXPECT_FALSE(still);
    EXPECT_EQ(image->NumFrames(), 2);
    EXPECT_FALSE(LoadGIFImage(bad, still));
    EXPECT_FALSE(LoadGIFImage(dir.file("missing.gif"), still));

    std::istringstream stream(std::string(bytes.begin(), bytes.end()));
    EXPECT_TRUE(LoadGIFImage(stream, still));
    std::istringstream empty("");
    EXPECT_FALSE(LoadGIFImage(empty, still));
}
