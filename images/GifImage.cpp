#include "images/GifImage.h"

#include "images/GifLzw.h"
#include "platform/core/Text.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <fstream>
#include <iterator>

namespace {

const char* const ErrorTexts[TGif::ErrorCount] = {
    "no error",
    "Invalid GIF Signature Code",
    "No Local or Global Color Table for Image",
    "Unknown Graphics Extension Type",
    "Unknown Graphics Operation Code",
    "Invalid Extension Block Size",
    "[special message]",
    "Invalid Extension Block Terminator",
    "Invalid Integer Size",
    "No GIF Terminator Found",
    "Extension Block Out-Of-Order With Image Data",
    "Invalid Image Descriptor Index",
    "Invalid LZW Code Size",
    "Invalid LZW Data Format",
    "LZW Code Overflow",
    "Value Out Of Range",
    "NIL Pointer assigned",
    "Invalid Color Table Size",
    "No Image Description",
    "Invalid Bitmap Image",
    "Invalid Color Table Index",
    "Invalid Interlace Pass",
    "Invalid Bitmap",
    "Too Many Colors In Bitmap",
    "Unexpected end of file",
    "Animated GIF too large",
    "next message",
};

constexpr uint8_t IntroducerImage = 0x2C;
constexpr uint8_t IntroducerExtension = 0x21;
constexpr uint8_t IntroducerTrailer = 0x3B;

// Rows of an interlaced image in the order they are stored.
//   pass 1: every 8th row from 0    pass 2: every 8th row from 4
//   pass 3: every 4th row from 2    pass 4: every 2nd row from 1
std::vector<int> InterlaceRowOrder(int height)
{
    std::vector<int> rows;
    rows.reserve(size_t(height));
    for (int pass = 1; pass <= 4; ++pass) {
        int start, step;
        switch (pass) {
        case 1: start = 0; step = 8; break;
        case 2: start = 4; step = 8; break;
        case 3: start = 2; step = 4; break;
        case 4: start = 1; step = 2; break;
        default: RaiseGifError(geInterlacePass);
        }
        for (int row = start; row < height; row += step)
            rows.push_back(row);
    }
    return rows;
}

} // namespace

void RaiseGifError(int code, const std::string& special)
{
    const std::string text = code == geSpecial ? special : std::string(TGif::ErrorText(code));
    throw EInvalidGraphicOperation(code, Format("TGif: %s", text.c_str()));
}

const TGifGraphicControl* TGifImageDescriptor::GraphicControl() const
{
    for (auto it = Extensions.rbegin(); it != Extensions.rend(); ++it)
        if (it->Label == elGraphicControl)
            return &it->GraphicControl;
    return nullptr;
}

// ---------------------------------------------------------------------------
// Reading

// Parse state of one LoadFromMemory call. Every read checks the length left.
class TGif::Reader {
public:
    Reader(TGif& gif, const uint8_t* data, size_t size) : m_gif(gif), m_data(data), m_size(size) {}
    void Run();

private:
    bool AtEnd() const { return m_pos >= m_size; }
    uint8_t ReadByte();
    int ReadInt(int size);
    void ReadBytes(void* target, size_t count);
    void ReadColorTable(int count);
    void ReadImage();
    void ReadExtension();
    // Data sub-blocks up to the zero-length terminator, kept as blocks or
    // appended to one byte string.
    void ReadSubBlocks(std::vector<std::string>* blocks, std::vector<uint8_t>* joined);
    void DecodeImage(TGifImageDescriptor& image);

    TGif& m_gif;
    const uint8_t* m_data;
    size_t m_size;
    size_t m_pos = 0;
    std::vector<TGifExtension> m_pending;
    std::vector<uint8_t> m_dataStream;
    std::vector<uint8_t> m_passes; // an interlaced image's rows in stored order
    int64_t m_pixelBytes = 0;
    std::unique_ptr<TGifLzwDecoder> m_lzw;
};

uint8_t TGif::Reader::ReadByte()
{
    if (AtEnd())
        RaiseGifError(geEndOfFile);
    return m_data[m_pos++];
}

int TGif::Reader::ReadInt(int size)
{
    switch (size) {
    case 1:
        return ReadByte();
    case 2: {
        const int low = ReadByte();
        return low | ReadByte() << 8;
    }
    default:
        RaiseGifError(geIntegerSize);
    }
}

void TGif::Reader::ReadBytes(void* target, size_t count)
{
    if (m_size - m_pos < count)
        RaiseGifError(geEndOfFile);
    std::memcpy(target, m_data + m_pos, count);
    m_pos += count;
}

void TGif::Reader::ReadColorTable(int count)
{
    TGifColorTable table;
    table.Count = count;
    uint8_t rgb[3 * 256];
    ReadBytes(rgb, size_t(count) * 3);
    for (int i = 0; i < count; ++i)
        table.Colors[size_t(i)] = uint32_t(rgb[3 * i]) | uint32_t(rgb[3 * i + 1]) << 8 |
                                  uint32_t(rgb[3 * i + 2]) << 16;
    m_gif.m_colorTables.push_back(table);
}

void TGif::Reader::ReadSubBlocks(std::vector<std::string>* blocks, std::vector<uint8_t>* joined)
{
    for (;;) {
        const uint8_t length = ReadByte();
        if (length == 0)
            return;
        if (m_size - m_pos < length)
            RaiseGifError(geEndOfFile);
        const uint8_t* block = m_data + m_pos;
        if (blocks)
            blocks->emplace_back(reinterpret_cast<const char*>(block), length);
        if (joined)
            joined->insert(joined->end(), block, block + length);
        m_pos += length;
    }
}

void TGif::Reader::Run()
{
    // Header and logical screen descriptor:
    //   0  6  signature "GIF87a" / "GIF89a"
    //   6  2  screen width          8  2  screen height
    //  10  1  packed: bit 7 global table, bits 4-6 colour resolution - 1,
    //         bit 3 sorted, bits 0-2 table size (2^(n+1) entries)
    //  11  1  background colour index
    //  12  1  pixel aspect ratio
    char signature[6];
    if (m_size < sizeof signature)
        RaiseGifError(geSignature);
    ReadBytes(signature, sizeof signature);
    const std::string upper = asciitext::Upper(std::string(signature, sizeof signature));
    if (upper != "GIF87A" && upper != "GIF89A")
        RaiseGifError(geSignature);
    m_gif.m_signature = upper;

    TGifScreenDescriptor& screen = m_gif.m_screen;
    screen.Width = ReadInt(2);
    screen.Height = ReadInt(2);
    const uint8_t packed = ReadByte();
    screen.GlobalColorTable = packed & 0x80;
    screen.ColorResolution = ((packed >> 4) & 7) + 1;
    screen.Sorted = packed & 0x08;
    screen.GlobalColorTableSize = 1 << ((packed & 7) + 1);
    screen.BackgroundIndex = ReadByte();
    screen.AspectRatio = ReadByte();
    if (screen.GlobalColorTable) {
        ReadColorTable(screen.GlobalColorTableSize);
        screen.GlobalColorTableIndex = int(m_gif.m_colorTables.size()) - 1;
    }

    // A file that ends without its trailer keeps what was read.
    while (!AtEnd()) {
        const uint8_t introducer = ReadByte();
        if (introducer == IntroducerTrailer || introducer == 0)
            break;
        if (introducer == IntroducerImage)
            ReadImage();
        else if (introducer == IntroducerExtension)
            ReadExtension();
        else
            RaiseGifError(geUnknownOperation);
    }
    if (m_gif.m_images.empty())
        RaiseGifError(geNoImage);
}

void TGif::Reader::ReadImage()
{
    // Image descriptor (after the 0x2C introducer):
    //   0  2  left    2  2  top    4  2  width    6  2  height
    //   8  1  packed: bit 7 local table, bit 6 interlace, bit 5 sorted,
    //         bits 0-2 local table size (2^(n+1) entries)
    // then the local colour table, the LZW minimum code size byte and the
    // image data sub-blocks.
    TGifImageDescriptor image;
    image.Index = int(m_gif.m_images.size());
    image.Left = ReadInt(2);
    image.Top = ReadInt(2);
    image.Width = ReadInt(2);
    image.Height = ReadInt(2);
    if (m_gif.m_screen.Height < image.Height)
        image.Height = m_gif.m_screen.Height;
    const uint8_t packed = ReadByte();
    image.LocalColorTable = packed & 0x80;
    image.Interlaced = packed & 0x40;
    image.Sorted = packed & 0x20;
    image.ColorCount = 1 << ((packed & 7) + 1);
    if (image.LocalColorTable) {
        ReadColorTable(image.ColorCount);
        image.ColorTableIndex = int(m_gif.m_colorTables.size()) - 1;
    } else if (m_gif.m_screen.GlobalColorTableIndex >= 0) {
        image.ColorTableIndex = m_gif.m_screen.GlobalColorTableIndex;
        image.ColorCount = m_gif.m_screen.GlobalColorTableSize;
    } else {
        RaiseGifError(geNoColorTable);
    }
    image.LZWCodeSize = ReadByte();
    m_dataStream.clear();
    m_dataStream.reserve(m_size - m_pos); // the data cannot be longer than the rest of the file
    ReadSubBlocks(nullptr, &m_dataStream);
    image.Extensions = std::move(m_pending);
    m_pending.clear();

    // The strip grows with every frame and only has to fit at the end, but
    // once the frames read so far are over the hard limit the file can never
    // load: stop before holding more memory. The same bound caps the pixel
    // buffers themselves, since an image may be wider than the screen.
    const int frames = int(m_gif.m_images.size()) + 1;
    const int64_t pixels = int64_t(image.Width) * image.Height;
    m_pixelBytes += pixels;
    if (StripDibSize(m_gif.m_screen.Width, m_gif.m_screen.Height, frames) > MaxStripBytes ||
        m_pixelBytes > MaxStripBytes)
        RaiseGifError(geTooLarge);
    image.Pixels.assign(size_t(pixels), 0);
    image.PixelSize = size_t(pixels);
    m_gif.m_images.push_back(std::move(image));
    DecodeImage(m_gif.m_images.back());
}

void TGif::Reader::DecodeImage(TGifImageDescriptor& image)
{
    if (m_gif.m_images.empty())
        RaiseGifError(geImageIndex);
    if (!m_lzw)
        m_lzw = std::make_unique<TGifLzwDecoder>();

    // Pixels run row by row; past the last row a plain image drops them,
    // an interlaced one starts its first pass again. With rows stored in
    // pass order, that is the decoder writing around its buffer.
    const size_t capacity = image.PixelSize;
    TLzwResult result;
    if (!image.Interlaced) {
        result = m_lzw->Decode(m_dataStream.data(), m_dataStream.size(), image.LZWCodeSize,
                               image.Pixels.data(), capacity, TLzwOverflow::loDrop);
    } else {
        if (m_passes.size() < capacity)
            m_passes.resize(capacity);
        uint8_t* passes = m_passes.data();
        result = m_lzw->Decode(m_dataStream.data(), m_dataStream.size(), image.LZWCodeSize,
                               passes, capacity, TLzwOverflow::loWrap);
        if (m_lzw->PixelCount() < capacity) // rows the data never reached stay 0
            std::memset(passes + m_lzw->PixelCount(), 0, capacity - size_t(m_lzw->PixelCount()));
        if (result == TLzwResult::lrOk && image.Width > 0) {
            const std::vector<int> rows = InterlaceRowOrder(image.Height);
            const size_t width = size_t(image.Width);
            for (size_t line = 0; line < rows.size(); ++line)
                std::memcpy(image.Pixels.data() + size_t(rows[line]) * width,
                            passes + line * width, width);
        }
    }
    if (result == TLzwResult::lrCodeSize)
        RaiseGifError(geLzwCodeSize);
    if (result == TLzwResult::lrDataFormat)
        RaiseGifError(geLzwDataFormat);
}

void TGif::Reader::ReadExtension()
{
    // After the 0x21 introducer, a label byte:
    //   0xF9 graphic control: size 4, packed (bits 2-4 disposal, bit 1 user
    //        input, bit 0 transparent), delay (2), transparent index (1), 0
    //   0xFE comment: sub-blocks
    //   0x01 plain text: size 12, left, top, width, height (2 each), cell
    //        width, cell height, foreground, background (1 each), sub-blocks
    //   0xFF application: size 11, identifier (8), authentication (3), sub-blocks
    TGifExtension ext;
    ext.Label = ReadByte();
    switch (ext.Label) {
    case elGraphicControl: {
        TGifGraphicControl& gc = ext.GraphicControl;
        gc.BlockSize = ReadByte();
        if (gc.BlockSize != 4)
            RaiseGifError(geExtensionSize);
        const uint8_t packed = ReadByte();
        gc.Disposal = (packed / 4) & 7;
        gc.UserInput = packed & 2;
        gc.TransparentFlag = packed & 1;
        gc.Delay = ReadInt(2);
        gc.TransparentColor = ReadInt(1);
        if (ReadByte() != 0)
            RaiseGifError(geExtensionTerminator);
        break;
    }
    case elComment:
        ReadSubBlocks(&ext.SubBlocks, nullptr);
        break;
    case elPlainText: {
        TGifPlainText& text = ext.PlainText;
        text.BlockSize = ReadByte();
        if (text.BlockSize != 12)
            RaiseGifError(geExtensionSize);
        text.Left = ReadInt(2);
        text.Top = ReadInt(2);
        text.Width = ReadInt(2);
        text.Height = ReadInt(2);
        text.CellWidth = ReadInt(1);
        text.CellHeight = ReadInt(1);
        text.ForegroundIndex = ReadInt(1);
        text.BackgroundIndex = ReadInt(1);
        ReadSubBlocks(&ext.SubBlocks, nullptr);
        break;
    }
    case elApplication: {
        TGifApplication& app = ext.Application;
        app.BlockSize = ReadByte();
        if (app.BlockSize != 11)
            RaiseGifError(geExtensionSize);
        char identifier[8], authentication[3];
        ReadBytes(identifier, sizeof identifier);
        ReadBytes(authentication, sizeof authentication);
        app.Identifier.assign(identifier, sizeof identifier);
        app.Authentication.assign(authentication, sizeof authentication);
        ReadSubBlocks(&ext.SubBlocks, nullptr);
        // NETSCAPE2.0 looping: sub-block 1, loop count (2, little-endian).
        if (app.Identifier == "NETSCAPE" && !ext.SubBlocks.empty() && ext.SubBlocks[0].size() == 3) {
            const std::string& block = ext.SubBlocks[0];
            m_gif.m_loopCount = uint8_t(block[1]) | uint8_t(block[2]) << 8;
        }
        break;
    }
    default:
        RaiseGifError(geSpecial, Format("unknown extension: %.4X", unsigned(ext.Label)));
    }
    m_pending.push_back(std::move(ext));
}

// ---------------------------------------------------------------------------
// TGif

TGif::TGif() : m_signature("------") {}

void TGif::Clear()
{
    m_signature = "------";
    m_screen = TGifScreenDescriptor();
    m_colorTables.clear();
    m_images.clear();
    m_loopCount = -1;
}

void TGif::LoadFromStream(std::istream& stream)
{
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
    LoadFromMemory(bytes.data(), bytes.size());
}

void TGif::LoadFromMemory(const uint8_t* data, size_t size)
{
    Clear();
    try {
        Reader(*this, data, size).Run();
    } catch (...) {
        Clear();
        throw;
    }
}

const char* TGif::ErrorText(int code)
{
    return code >= 0 && code < ErrorCount ? ErrorTexts[code] : "";
}

const TGifImageDescriptor& TGif::Image(int image) const
{
    if (image < 0 || image >= ImageCount())
        RaiseGifError(geValueRange);
    return m_images[size_t(image)];
}

bool TGif::IsTransparent() const
{
    for (int i = 0; i < ImageCount(); ++i)
        if (TransparentIndex(i) >= 0)
            return true;
    return false;
}

int TGif::ImageLeft(int image) const { return Image(image).Left; }
int TGif::ImageTop(int image) const { return Image(image).Top; }
int TGif::ImageWidth(int image) const { return Image(image).Width; }
int TGif::ImageHeight(int image) const { return Image(image).Height; }

int TGif::ImageDelay(int image) const
{
    const TGifGraphicControl* gc = Image(image).GraphicControl();
    return gc && gc->Delay != 0 ? gc->Delay : 1;
}

int TGif::ImageDisposalMethod(int image) const
{
    const TGifGraphicControl* gc = Image(image).GraphicControl();
    return gc ? gc->Disposal : 0;
}

int TGif::TransparentIndex(int image) const
{
    const TGifGraphicControl* gc = Image(image).GraphicControl();
    return gc && gc->TransparentFlag ? gc->TransparentColor : -1;
}

int64_t TGif::StripDibSize(int screenWidth, int screenHeight, int frames)
{
    const unsigned __int128 row = (unsigned __int128)(3) * unsigned(std::max(screenWidth, 0)) *
                                  unsigned(std::max(frames, 0));
    const unsigned __int128 size = ((row + 3) & ~(unsigned __int128)(3)) * unsigned(std::max(screenHeight, 0)) + 54;
    return size > (unsigned __int128)(INT64_MAX) ? INT64_MAX : int64_t(size);
}

void TGif::GetStripBitmap(TPlainBitmap& strip, TPlainBitmap& mask) const
{
    const int W = ScreenWidth();
    const int H = ScreenHeight();
    const int F = ImageCount();
    const bool transparent = IsTransparent();
    const int64_t dibSize = StripDibSize(W, H, F);
    if (dibSize > MaxStripBytes || (transparent && dibSize > MaxTransparentStripBytes) ||
        int64_t(W) * F > INT_MAX)
        RaiseGifError(geTooLarge);

    strip = TPlainBitmap(W * F, H, TPixelFormat::pfRGB24, 0);
    mask = transparent ? TPlainBitmap(W * F, H, TPixelFormat::pfMask8, MaskTransparent) : TPlainBitmap();

    for (int i = 0; i < F; ++i) {
        const TGifImageDescriptor& image = m_images[size_t(i)];
        const TGifColorTable& table = m_colorTables[size_t(image.ColorTableIndex)];
        const int ti = TransparentIndex(i);
        const int column = i * W;
        // Only the part of the frame that lies on the screen is drawn.
        const int cols = std::clamp(W - image.Left, 0, image.Width);
        const int rows = cols > 0 ? std::clamp(H - image.Top, 0, image.Height) : 0;
        for (int r = 0; r < rows; ++r) {
            const int y = image.Top + r;
            const uint8_t* src = image.Pixels.data() + size_t(r) * size_t(image.Width);
            uint8_t* dst = strip.Row(y) + size_t(column + image.Left) * 3;
            uint8_t* maskRow = transparent ? mask.Row(y) + column + image.Left : nullptr;
            for (int c = 0; c < cols; ++c, dst += 3) {
                const int index = src[c];
                if (index == ti)
                    continue; // shows what the previous frame left there
                const uint32_t colour = table.Colors[size_t(index)];
                dst[0] = uint8_t(colour);
                dst[1] = uint8_t(colour >> 8);
                dst[2] = uint8_t(colour >> 16);
                if (maskRow)
                    maskRow[c] = MaskOpaque;
            }
        }
        if (i + 1 == F || W == 0)
            break;
        // Each frame starts as a copy of the one before.
        for (int y = 0; y < H; ++y) {
            std::memcpy(strip.Row(y) + size_t(column + W) * 3, strip.Row(y) + size_t(column) * 3, size_t(W) * 3);
            if (transparent)
                std::memcpy(mask.Row(y) + column + W, mask.Row(y) + column, size_t(W));
        }
        const int disposal = ImageDisposalMethod(i);
        if (transparent && (disposal == 2 || disposal == 3)) {
            for (int r = 0; r < rows; ++r)
                std::memset(mask.Row(image.Top + r) + column + W + image.Left, MaskTransparent, size_t(cols));
        }
    }
}

// ---------------------------------------------------------------------------
// TGIFImage

TGIFImage::TGIFImage(const TGif& gif)
    : m_width(gif.ScreenWidth()), m_height(gif.ScreenHeight()), m_animated(gif.ImageCount() > 1),
      m_transparent(gif.IsTransparent())
{
    const int loops = gif.LoopCount();
    m_numIterations = loops < 0 ? 1 : loops > 0 ? loops + 1 : 0;
    for (int i = 0; i < gif.ImageCount(); ++i) {
        TgfFrame frame;
        frame.Left = gif.ImageLeft(i);
        frame.Top = gif.ImageTop(i);
        frame.Width = gif.ImageWidth(i);
        frame.Height = gif.ImageHeight(i);
        frame.DelayMs = std::max(30, 10 * gif.ImageDelay(i));
        frame.Disposal = gif.ImageDisposalMethod(i);
        frame.IsLast = i + 1 == gif.ImageCount();
        m_frames.push_back(frame);
    }
    gif.GetStripBitmap(m_strip, m_mask);
}

uint32_t TGIFImage::Now() const
{
    if (Clock)
        return Clock();
    return uint32_t(std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now().time_since_epoch()).count());
}

void TGIFImage::SetCurrentFrame(int frame)
{
    if (frame < 1 || frame > NumFrames())
        return;
    m_currentFrame = frame;
    m_currentDelay = uint32_t(std::max(1, m_frames[size_t(frame - 1)].DelayMs));
}

void TGIFImage::SetAnimate(bool animate)
{
    if (animate == m_animating)
        return;
    if (!animate) {
        m_animating = false;
        return;
    }
    if (NumFrames() > 1) {
        m_currentDelay = uint32_t(std::max(1, m_frames[size_t(m_currentFrame - 1)].DelayMs));
        m_lastTime = Now();
        m_animating = true;
    }
}

void TGIFImage::Tick()
{
    if (!m_animating)
        return;
    const uint32_t now = Now();
    // Unsigned difference: the millisecond clock may wrap.
    if (now - m_lastTime < m_currentDelay)
        return;
    m_lastTime = now;
    if (m_currentFrame == NumFrames()) {
        if (m_numIterations > 0 && m_currentIteration >= m_numIterations) {
            SetAnimate(false);
            return;
        }
        ++m_currentIteration;
    }
    m_currentFrame = m_currentFrame % NumFrames() + 1;
    if (OnInvalidate)
        OnInvalidate(m_drawRect);
    m_currentDelay = uint32_t(std::max(1, m_frames[size_t(m_currentFrame - 1)].DelayMs));
}

void TGIFImage::Draw(TImageCanvas& canvas, const TImageRect& dest)
{
    m_drawRect = dest;
    if (!m_visible || NumFrames() == 0)
        return;
    const TImageRect source{(m_currentFrame - 1) * m_width, 0, m_currentFrame * m_width, m_height};
    canvas.StretchDraw(dest, m_strip, m_transparent ? &m_mask : nullptr, source);
}

TPlainBitmap TGIFImage::Bitmap() const
{
    return m_strip.Copy({0, 0, m_width, m_height});
}

TPlainBitmap TGIFImage::Mask() const
{
    return m_mask.IsEmpty() ? TPlainBitmap() : m_mask.Copy({0, 0, m_width, m_height});
}

// ---------------------------------------------------------------------------
// Loading for the viewer

std::unique_ptr<TGIFImage> LoadGIFImage(const uint8_t* data, size_t size, bool& isStill)
{
    try {
        TGif gif;
        gif.LoadFromMemory(data, size);
        auto image = std::make_unique<TGIFImage>(gif);
        isStill = image->NumFrames() < 2;
        return image;
    } catch (const std::exception&) {
        return nullptr;
    }
}

std::unique_ptr<TGIFImage> LoadGIFImage(std::istream& stream, bool& isStill)
{
    try {
        const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
        return LoadGIFImage(bytes.data(), bytes.size(), isStill);
    } catch (const std::exception&) {
        return nullptr;
    }
}

std::unique_ptr<TGIFImage> LoadGIFImage(const std::string& fileName, bool& isStill)
{
    std::ifstream file(fileName, std::ios::binary);
    if (!file)
        return nullptr;
    return LoadGIFImage(file, isStill);
}
