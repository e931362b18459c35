// JPEG and BMP decoding against ImageMagick's own decoding of the same
// files, hand-made BMP variants and bad files, and loading by content.

#include "images/BmpImage.h"
#include "images/JpegImage.h"
#include "images/ViewerImages.h"
#include "tests/images/GifFixtures.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

namespace {

std::vector<uint8_t> ReadBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Largest channel difference between our bitmap and ImageMagick's 8-bit RGB
// decoding of the same file; -1 when the sizes differ.
int MaxDifference(const TPlainBitmap& ours, const std::string& path)
{
    int status = -1;
    const std::string rgb = path + ".rgb";
    testsupport::RunCommand("convert '" + path + "' -depth 8 'rgb:" + rgb + "' 2>&1", &status);
    const auto reference = ReadBytes(rgb);
    if (status != 0 || reference.size() != size_t(ours.Width()) * size_t(ours.Height()) * 3)
        return -1;
    int worst = 0;
    for (int y = 0; y < ours.Height(); ++y)
        for (int x = 0; x < ours.Width() * 3; ++x)
            worst = std::max(worst, std::abs(int(ours.Row(y)[x]) - int(reference[(size_t(y) * size_t(ours.Width())) * 3 + size_t(x)])));
    return worst;
}

// A BMP file from its parts: 14-byte file header, info header, palette, pixels.
std::vector<uint8_t> MakeBmp(int width, int height, int bits, uint32_t compression,
                             const std::vector<uint32_t>& palette, const std::vector<uint8_t>& pixels)
{
    std::vector<uint8_t> b;
    auto put16 = [&](uint32_t v) { b.push_back(uint8_t(v)); b.push_back(uint8_t(v >> 8)); };
    auto put32 = [&](uint32_t v) { put16(v & 0xFFFF); put16(v >> 16); };
    const uint32_t offset = 14 + 40 + uint32_t(palette.size()) * 4;
    b.push_back('B');
    b.push_back('M');
    put32(offset + uint32_t(pixels.size()));
    put32(0);
    put32(offset);
    put32(40);
    put32(uint32_t(width));
    put32(uint32_t(height));
    put16(1);
    put16(uint32_t(bits));
    put32(compression);
    put32(uint32_t(pixels.size()));
    put32(2835);
    put32(2835);
    put32(uint32_t(palette.size()));
    put32(0);
    for (uint32_t c : palette)
        put32(c); // stored blue, green, red, 0
    b.insert(b.end(), pixels.begin(), pixels.end());
    return b;
}

} // namespace

TEST(ViewerImages, JpegAndBmpMatchImageMagick)
{
    testsupport::TempDir dir;
    struct Sample {
        const char* name;
        const char* arguments; // convert photo.jpg <arguments> <name>
        int tolerance;
    } samples[] = {
        {"photo.jpg", "", 0},
        {"progressive.jpg", "-interlace Plane", 0},
        {"grey.jpg", "-colorspace Gray", 0},
        {"cmyk.jpg", "-colorspace CMYK", 2},
        {"odd-size.jpg", "-resize 17x9! -sampling-factor 2x2", 0},
        {"rgb24.bmp", "-type TrueColor bmp3:", 0},
        {"palette8.bmp", "-colors 200 -compress None bmp3:", 0},
        {"palette4.bmp", "-colors 12 -compress None bmp3:", 0},
        {"mono.bmp", "-monochrome bmp3:", 0},
        {"rle8.bmp", "-colors 100 -compress RLE bmp3:", 0},
        {"rgb565.bmp", "-define bmp:subtype=RGB565 bmp:", 0},
        {"argb32.bmp", "-alpha set bmp:", 0},
        {"os2.bmp", "bmp2:", 0},
    };
    int status = -1;
    const std::string source = dir.file("source.jpg");
    testsupport::RunCommand("convert -seed 2 -size 61x43 plasma: -quality 85 '" + source + "' 2>&1", &status);
    ASSERT_EQ(status, 0);
    for (const auto& s : samples) {
        SCOPED_TRACE(s.name);
        const std::string path = dir.file(s.name);
        const std::string target = std::string(s.arguments).ends_with(':')
                                       ? std::string(s.arguments) + path
                                       : std::string(s.arguments) + " " + path;
        testsupport::RunCommand("convert '" + source + "' " + target + " 2>&1", &status);
        ASSERT_EQ(status, 0);
        auto image = LoadViewerImageFile(path);
        ASSERT_TRUE(image);
        EXPECT_FALSE(image->Gif);
        EXPECT_EQ(image->Format, std::string(s.name).ends_with(".jpg") ? TImageFormat::ifJPEG : TImageFormat::ifBMP);
        const int difference = MaxDifference(image->Bitmap, path);
        EXPECT_GE(difference, 0);
        EXPECT_LE(difference, s.tolerance);
    }
}

TEST(ViewerImages, HandMadeBmpVariants)
{
    const uint32_t red = 0xFF0000, green = 0x00FF00, blue = 0x0000FF, white = 0xFFFFFF; // as stored: 0xRRGGBB read little-endian -> B,G,R
    const uint32_t R = 0x0000FF, G = 0x00FF00, B = 0xFF0000, W = 0xFFFFFF; // our R + G*256 + B*65536
    struct Case {
        const char* name;
        std::vector<uint8_t> file;
        std::vector<uint32_t> pixels; // top row first, 2x2
    } cases[] = {
        // Rows bottom-up, each padded to 4 bytes: bottom row first.
        {"24-bit bottom-up", MakeBmp(2, 2, 24, 0, {}, {0, 0, 255, 0, 255, 0, 0, 0, 255, 0, 0, 255, 255, 255, 0, 0}),
         {B, W, R, G}},
        {"24-bit top-down", MakeBmp(2, -2, 24, 0, {}, {0, 0, 255, 0, 255, 0, 0, 0, 255, 0, 0, 255, 255, 255, 0, 0}),
         {R, G, B, W}},
        {"8-bit palette", MakeBmp(2, 2, 8, 0, {red, green, blue, white}, {0, 1, 0, 0, 2, 3, 0, 0}), {B, W, R, G}},
        {"4-bit RLE", MakeBmp(2, 2, 4, 2, {red, green, blue, white}, {2, 0x01, 0, 0, 2, 0x23, 0, 1}), {B, W, R, G}},
        {"8-bit RLE with a move", MakeBmp(2, 2, 8, 1, {red, green, blue, white}, {0, 2, 1, 1, 1, 3, 0, 1}), {0, W, 0, 0}},
        {"palette index past the table", MakeBmp(2, 2, 8, 0, {red}, {0, 9, 0, 0, 9, 0, 0, 0}), {0, R, R, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TPlainBitmap bitmap;
        ASSERT_TRUE(DecodeBmpImage(c.file.data(), c.file.size(), bitmap));
        ASSERT_EQ(bitmap.Width(), 2);
        ASSERT_EQ(bitmap.Height(), 2);
        EXPECT_EQ(bitmap.Pixel(0, 0), c.pixels[0]);
        EXPECT_EQ(bitmap.Pixel(1, 0), c.pixels[1]);
        EXPECT_EQ(bitmap.Pixel(0, 1), c.pixels[2]);
        EXPECT_EQ(bitmap.Pixel(1, 1), c.pixels[3]);
    }
}

TEST(ViewerImages, BadFilesGiveNothing)
{
    const auto good = MakeBmp(2, 2, 24, 0, {}, std::vector<uint8_t>(16, 7));
    auto lyingOffset = good;
    lyingOffset[10] = 0xF0; // pixels said to start past the end
    auto truncated = good;
    truncated.resize(truncated.size() - 5);
    const auto huge = MakeBmp(100000, 100000, 24, 0, {}, std::vector<uint8_t>(16, 7));
    const auto hugest = MakeBmp(0x7FFFFFFF, -0x7FFFFFFF, 24, 0, {}, std::vector<uint8_t>(16, 7));
    const auto badDepth = MakeBmp(2, 2, 7, 0, {}, std::vector<uint8_t>(16, 7));
    const auto rleWrongDepth = MakeBmp(2, 2, 24, 1, {}, std::vector<uint8_t>(16, 7));
    const auto zeroWidth = MakeBmp(0, 2, 24, 0, {}, std::vector<uint8_t>(16, 7));
    const std::vector<uint8_t> jpegHead{0xFF, 0xD8, 0xFF, 0xE0, 0, 16, 'J', 'F', 'I', 'F', 0};
    const std::vector<uint8_t> text{'h', 'e', 'l', 'l', 'o'};

    TPlainBitmap bitmap;
    ASSERT_TRUE(DecodeBmpImage(good.data(), good.size(), bitmap));
    for (const std::vector<uint8_t>* bytes : std::initializer_list<const std::vector<uint8_t>*>{&lyingOffset, &truncated, &huge, &hugest, &badDepth, &rleWrongDepth, &zeroWidth}) {
        TPlainBitmap untouched(1, 1, TPixelFormat::pfRGB24, 9);
        EXPECT_FALSE(DecodeBmpImage(bytes->data(), bytes->size(), untouched));
        EXPECT_EQ(untouched.Width(), 1);
        EXPECT_FALSE(LoadViewerImage(bytes->data(), bytes->size()));
    }
    EXPECT_FALSE(DecodeJpegImage(jpegHead.data(), jpegHead.size(), bitmap));
    EXPECT_FALSE(LoadViewerImage(jpegHead.data(), jpegHead.size()));
    EXPECT_FALSE(LoadViewerImage(text.data(), text.size()));
    EXPECT_FALSE(LoadViewerImage(nullptr, 0));
    EXPECT_FALSE(LoadViewerImageFile("/nonexistent/image.gif"));
}

TEST(ViewerImages, GifThroughTheViewerLoader)
{
    const auto still = giftest::GifBuilder(3, 2).Image(0, 0, 3, 2, {1, 2, 3, 4, 5, 6}).Trailer().Data();
    const auto animated = giftest::GifBuilder(3, 2).Image(0, 0, 3, 2, {1, 2, 3, 4, 5, 6}).Image(0, 0, 1, 1, {7}).Data();
    auto image = LoadViewerImage(still.data(), still.size());
    ASSERT_TRUE(image);
    EXPECT_EQ(image->Format, TImageFormat::ifGIF);
    ASSERT_TRUE(image->Gif);
    EXPECT_TRUE(image->IsStill);
    EXPECT_EQ(image->Width(), 3);
    EXPECT_EQ(image->Height(), 2);
    image = LoadViewerImage(animated.data(), animated.size());
    ASSERT_TRUE(image);
    EXPECT_FALSE(image->IsStill);
    const std::vector<uint8_t> broken(still.begin(), still.begin() + 20);
    EXPECT_FALSE(LoadViewerImage(broken.data(), broken.size()));
}
