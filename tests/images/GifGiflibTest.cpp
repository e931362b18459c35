// Our reader against giflib on GIFs written by ImageMagick: the same images,
// colour indices, colour tables and control blocks; and the composed strip
// against ImageMagick's own coalesced frames.

#include "images/GifImage.h"
#include "tests/support/TestSupport.h"

#include <gif_lib.h>
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <set>

namespace {

struct Sample {
    const char* name;
    const char* arguments; // convert <arguments> <name>
};

const Sample Samples[] = {
    {"gradient-8bit.gif", "-size 64x48 gradient:red-blue -colors 256"},
    {"plasma-1bit.gif", "-seed 3 -size 33x17 plasma:fractal -colors 2"},
    {"plasma-3bit.gif", "-seed 3 -size 45x31 plasma:fractal -colors 7"},
    {"plasma-4bit.gif", "-seed 3 -size 45x31 plasma:fractal -colors 16"},
    {"plasma-6bit.gif", "-seed 4 -size 91x67 plasma:fractal -colors 60"},
    {"interlaced.gif", "-seed 5 -size 71x53 plasma:fractal -interlace GIF"},
    {"interlaced-3rows.gif", "-seed 5 -size 13x3 plasma:fractal -colors 4 -interlace GIF"},
    {"large.gif", "-seed 6 -size 400x300 plasma:fractal"},
    {"transparent.gif", "-size 40x20 gradient:white-navy -colors 8 -transparent white"},
    {"anim-local-tables.gif",
     "-seed 6 -size 48x36 plasma: \\( -size 20x10 xc:blue -repage +5+7 \\) "
     "\\( -size 48x36 plasma: -colors 32 \\) -set delay 3 -loop 2"},
    {"anim-optimized.gif",
     "-seed 8 -size 50x40 plasma: \\( +clone -fill blue -draw \"rectangle 10,10 20,20\" \\) "
     "\\( +clone -fill yellow -draw \"circle 30,20 30,28\" \\) -layers Optimize -set delay 5"},
    {"anim-frames.gif",
     "-seed 9 -size 50x40 plasma: \\( +clone -fill blue -draw \"rectangle 10,10 20,20\" \\) "
     "\\( +clone -fill yellow -draw \"circle 30,20 30,28\" \\) -layers OptimizeFrame -set delay 0"},
    {"anim-dispose-background.gif",
     "-dispose Background -delay 4 \\( -size 30x20 xc:none -fill red -draw \"circle 15,10 15,3\" \\) "
     "\\( -size 30x20 xc:none -fill green -draw \"rectangle 2,2 12,12\" \\) "
     "\\( -size 30x20 xc:none -fill blue -draw \"rectangle 16,4 28,18\" \\) -loop 0"},
    {"anim-dispose-previous.gif",
     "-dispose Previous -delay 20 \\( -size 30x20 xc:yellow \\) "
     "\\( -size 10x8 xc:red -repage 30x20+3+4 \\) \\( -size 10x8 xc:blue -repage 30x20+15+9 \\) -loop 0"},
    {"interlaced-anim.gif",
     "-seed 10 -size 37x29 plasma:fractal \\( +clone -negate \\) -interlace GIF -set delay 2"},
};

class GiflibFile {
public:
    explicit GiflibFile(const std::string& path)
    {
        int error = 0;
        m_gif = DGifOpenFileName(path.c_str(), &error);
        if (m_gif && DGifSlurp(m_gif) != GIF_OK) {
            DGifCloseFile(m_gif, &error);
            m_gif = nullptr;
        }
    }
    ~GiflibFile()
    {
        int error = 0;
        if (m_gif)
            DGifCloseFile(m_gif, &error);
    }
    GifFileType* operator->() const { return m_gif; }
    explicit operator bool() const { return m_gif != nullptr; }

    int LoopCount() const
    {
        // NETSCAPE2.0 application block, then a continuation block 1, lo, hi.
        const SavedImage& first = m_gif->SavedImages[0];
        for (int i = 0; i + 1 < first.ExtensionBlockCount; ++i) {
            const ExtensionBlock& app = first.ExtensionBlocks[i];
            const ExtensionBlock& data = first.ExtensionBlocks[i + 1];
            if (app.Function == APPLICATION_EXT_FUNC_CODE && app.ByteCount == 11 &&
                std::memcmp(app.Bytes, "NETSCAPE2.0", 11) == 0 && data.ByteCount == 3)
                return data.Bytes[1] | data.Bytes[2] << 8;
        }
        return -1;
    }

private:
    GifFileType* m_gif = nullptr;
};

std::vector<uint8_t> ReadBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class GiflibComparison : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_dir = new testsupport::TempDir;
        for (const Sample& s : Samples) {
            int status = -1;
            const std::string out = testsupport::RunCommand(
                "cd '" + s_dir->path().string() + "' && convert " + s.arguments + " " + s.name + " 2>&1", &status);
            ASSERT_EQ(status, 0) << s.name << ": " << out;
        }
    }
    static void TearDownTestSuite()
    {
        delete s_dir;
        s_dir = nullptr;
    }
    static testsupport::TempDir* s_dir;
};

testsupport::TempDir* GiflibComparison::s_dir = nullptr;

} // namespace

TEST_F(GiflibComparison, SameImagesIndicesAndBlocks)
{
    std::set<int> codeSizes, disposals;
    int interlaced = 0, localTables = 0, transparent = 0, animated = 0;
    for (const Sample& s : Samples) {
        SCOPED_TRACE(s.name);
        const std::string path = s_dir->file(s.name);
        GiflibFile reference(path);
        ASSERT_TRUE(reference);
        TGif gif;
        const auto bytes = ReadBytes(path);
        ASSERT_NO_THROW(gif.LoadFromMemory(bytes.data(), bytes.size()));

        ASSERT_EQ(gif.ScreenWidth(), reference->SWidth);
        ASSERT_EQ(gif.ScreenHeight(), reference->SHeight);
        ASSERT_EQ(gif.ImageCount(), reference->ImageCount);
        EXPECT_EQ(gif.LoopCount(), reference.LoopCount());
        animated += gif.ImageCount() > 1;
        for (int i = 0; i < gif.ImageCount(); ++i) {
            SCOPED_TRACE("image " + std::to_string(i));
            const SavedImage& ref = reference->SavedImages[i];
            const TGifImageDescriptor& ours = gif.Images()[size_t(i)];
            EXPECT_EQ(ours.Left, ref.ImageDesc.Left);
            EXPECT_EQ(ours.Top, ref.ImageDesc.Top);
            ASSERT_EQ(ours.Width, ref.ImageDesc.Width);
            ASSERT_EQ(ours.Height, ref.ImageDesc.Height);
            EXPECT_EQ(ours.Interlaced, ref.ImageDesc.Interlace);
            EXPECT_TRUE(std::memcmp(ours.Pixels.data(), ref.RasterBits, ours.PixelSize) == 0);

            const ColorMapObject* map = ref.ImageDesc.ColorMap ? ref.ImageDesc.ColorMap : reference->SColorMap;
            ASSERT_TRUE(map);
            const TGifColorTable& table = gif.ColorTables()[size_t(ours.ColorTableIndex)];
            ASSERT_EQ(table.Count, map->ColorCount);
            for (int c = 0; c < map->ColorCount; ++c) {
                const GifColorType& rgb = map->Colors[c];
                ASSERT_EQ(table.Colors[size_t(c)], uint32_t(rgb.Red) | uint32_t(rgb.Green) << 8 | uint32_t(rgb.Blue) << 16);
            }

            GraphicsControlBlock gcb;
            if (DGifSavedExtensionToGCB(reference.operator->(), i, &gcb) == GIF_OK) {
                ASSERT_TRUE(ours.GraphicControl());
                EXPECT_EQ(ours.GraphicControl()->Delay, gcb.DelayTime);
                EXPECT_EQ(gif.ImageDisposalMethod(i), gcb.DisposalMode);
                EXPECT_EQ(gif.TransparentIndex(i), gcb.TransparentColor);
            } else {
                EXPECT_FALSE(ours.GraphicControl());
            }
            codeSizes.insert(ours.LZWCodeSize);
            disposals.insert(gif.ImageDisposalMethod(i));
            interlaced += ours.Interlaced;
            localTables += ours.LocalColorTable;
            transparent += gif.TransparentIndex(i) >= 0;
        }
    }
    // The sample set really covers what it is meant to.
    EXPECT_GT(interlaced, 1);
    EXPECT_GT(localTables, 0);
    EXPECT_GT(transparent, 1);
    EXPECT_GT(animated, 4);
    EXPECT_TRUE(disposals.count(2) && disposals.count(3));
    EXPECT_TRUE(codeSizes.count(2) && codeSizes.count(8));
    EXPECT_GE(codeSizes.size(), 4u);
}

// Our strip against ImageMagick's coalesced frames: where our mask is
// opaque the colours agree, and transparency agrees with its alpha. Frames
// after a "restore previous" disposal are composed differently (the area is
// left transparent instead of restored), so those files are skipped.
TEST_F(GiflibComparison, StripMatchesCoalescedFrames)
{
    int compared = 0;
    for (const Sample& s : Samples) {
        SCOPED_TRACE(s.name);
        const std::string path = s_dir->file(s.name);
        TGif gif;
        const auto bytes = ReadBytes(path);
        gif.LoadFromMemory(bytes.data(), bytes.size());
        bool restores = false;
        for (int i = 0; i < gif.ImageCount(); ++i)
            restores |= gif.ImageDisposalMethod(i) == 3;
        if (restores)
            continue;
        const std::string rgba = s_dir->file(std::string(s.name) + ".rgba");
        int status = -1;
        testsupport::RunCommand("convert '" + path + "' -coalesce -depth 8 'rgba:" + rgba + "' 2>&1", &status);
        ASSERT_EQ(status, 0);
        const auto frames = ReadBytes(rgba);
        const int W = gif.ScreenWidth(), H = gif.ScreenHeight(), F = gif.ImageCount();
        ASSERT_EQ(frames.size(), size_t(W) * size_t(H) * 4 * size_t(F));

        TGIFImage image(gif);
        const TPlainBitmap& strip = image.StripBitmap();
        const TPlainBitmap& mask = image.StripMask();
        int mismatches = 0;
        for (int f = 0; f < F; ++f)
            for (int y = 0; y < H; ++y)
                for (int x = 0; x < W; ++x) {
                    const uint8_t* px = frames.data() + ((size_t(f) * size_t(H) + size_t(y)) * size_t(W) + size_t(x)) * 4;
                    const bool clear = !mask.IsEmpty() && mask.Row(y)[f * W + x] == MaskTransparent;
                    const uint32_t colour = uint32_t(px[0]) | uint32_t(px[1]) << 8 | uint32_t(px[2]) << 16;
                    if (clear != (px[3] == 0) || (!clear && strip.Pixel(f * W + x, y) != colour))
                        ++mismatches;
                }
        EXPECT_EQ(mismatches, 0);
        ++compared;
    }
    EXPECT_GE(compared, 12);
}
