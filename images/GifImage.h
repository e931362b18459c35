#pragma once
// The GIF reader (TGif) and the animated image the viewer shows (TGIFImage).
//
// TGif reads a GIF87a/GIF89a file, decodes every image into colour indices
// and composes all frames into one film strip: frame n occupies the n-th
// column (of the logical screen's width) of a 24-bit bitmap, each frame drawn
// over the previous one, with an optional transparency mask of the same size.
// TGIFImage plays the strip by showing one column at a time.

#include "images/ImageBitmap.h"
#include "platform/core/Exception.h"

#include <array>
#include <cstdint>
#include <functional>
#include <istream>
#include <memory>
#include <string>
#include <vector>

// Every failure of the reader: "TGif: " followed by the text of its error
// number (see TGif::ErrorText).
class EInvalidGraphicOperation : public Exception {
public:
    EInvalidGraphicOperation(int errorCode, std::string message)
        : Exception(std::move(message)), m_errorCode(errorCode) {}
    int ErrorCode() const { return m_errorCode; }

private:
    int m_errorCode;
};

enum TGifError {
    geNone = 0,
    geSignature = 1,
    geNoColorTable = 2,
    geUnknownExtensionType = 3,
    geUnknownOperation = 4,
    geExtensionSize = 5,
    geSpecial = 6,
    geExtensionTerminator = 7,
    geIntegerSize = 8,
    geNoTerminator = 9,
    geExtensionOrder = 10,
    geImageIndex = 11,
    geLzwCodeSize = 12,
    geLzwDataFormat = 13,
    geLzwOverflow = 14,
    geValueRange = 15,
    geNilPointer = 16,
    geColorTableSize = 17,
    geNoImage = 18,
    geBitmapImage = 19,
    geColorTableIndex = 20,
    geInterlacePass = 21,
    geBitmap = 22,
    geTooManyColors = 23,
    geEndOfFile = 24,
    geTooLarge = 25,
    geNext = 26,
};

struct TGifScreenDescriptor {
    int Width = 0;
    int Height = 0;
    bool GlobalColorTable = false;
    int ColorResolution = 0;
    bool Sorted = false;
    int GlobalColorTableSize = 0;
    int BackgroundIndex = 0;
    int AspectRatio = 0;
    int GlobalColorTableIndex = -1; // -1: no global table
};

// A colour is R + G * 256 + B * 65536. Entries past Count are black, so a
// pixel index beyond a short table is still a colour.
struct TGifColorTable {
    int Count = 0;
    std::array<uint32_t, 256> Colors{};
};

struct TGifGraphicControl {
    int BlockSize = 0;
    int Disposal = 0;
    bool UserInput = false;
    bool TransparentFlag = false;
    int Delay = 0; // hundredths of a second
    int TransparentColor = 0;
};

struct TGifPlainText {
    int BlockSize = 0;
    int Left = 0, Top = 0, Width = 0, Height = 0;
    int CellWidth = 0, CellHeight = 0;
    int ForegroundIndex = 0, BackgroundIndex = 0;
};

struct TGifApplication {
    int BlockSize = 0;
    std::string Identifier;     // 8 bytes
    std::string Authentication; // 3 bytes
};

enum TGifExtensionLabel : uint8_t {
    elPlainText = 0x01,
    elGraphicControl = 0xF9,
    elComment = 0xFE,
    elApplication = 0xFF,
};

struct TGifExtension {
    uint8_t Label = 0;
    TGifGraphicControl GraphicControl; // Label 0xF9
    TGifPlainText PlainText;           // Label 0x01
    TGifApplication Application;       // Label 0xFF
    std::vector<std::string> SubBlocks; // comment, plain text and application data
};

struct TGifImageDescriptor {
    int Index = 0;
    int Left = 0, Top = 0, Width = 0, Height = 0;
    bool LocalColorTable = false;
    bool Interlaced = false;
    bool Sorted = false;
    int ColorCount = 0;
    int ColorTableIndex = -1;
    int LZWCodeSize = 0;
    std::vector<TGifExtension> Extensions; // the blocks read since the previous image
    std::vector<uint8_t> Pixels;           // Width * Height colour indices, row-major
    size_t PixelSize = 0;

    // The last graphic control block before the image, or null.
    const TGifGraphicControl* GraphicControl() const;
};

class TGif {
public:
    static constexpr int64_t MaxStripBytes = 200000000;
    static constexpr int64_t MaxTransparentStripBytes = 100000000;
    static constexpr int ErrorCount = 27;

    TGif();

    // Reads a whole GIF file. Throws EInvalidGraphicOperation on any error
    // of the table, std::bad_alloc when memory runs out.
    void LoadFromStream(std::istream& stream);
    void LoadFromMemory(const uint8_t* data, size_t size);

    // The text of error number `code` (0..26), or "" outside the table.
    static const char* ErrorText(int code);

    const std::string& Signature() const { return m_signature; }
    const TGifScreenDescriptor& ScreenDescriptor() const { return m_screen; }
    const std::vector<TGifColorTable>& ColorTables() const { return m_colorTables; }
    const std::vector<TGifImageDescriptor>& Images() const { return m_images; }
    // From a "NETSCAPE" application block; -1 when none was read.
    int LoopCount() const { return m_loopCount; }

    int ImageCount() const { return int(m_images.size()); }
    int ScreenWidth() const { return m_screen.Width; }
    int ScreenHeight() const { return m_screen.Height; }
    // True when any image has a transparent colour.
    bool IsTransparent() const;

    // Per image, numbered from 0; a number outside the list raises error 15.
    int ImageLeft(int image) const;
    int ImageTop(int image) const;
    int ImageWidth(int image) const;
    int ImageHeight(int image) const;
    // Hundredths of a second; 1 when the delay is 0 or there is no graphic control.
    int ImageDelay(int image) const;
    int ImageDisposalMethod(int image) const;
    // -1 without a graphic control or when its transparent flag is off.
    int TransparentIndex(int image) const;

    // Composes the film strip. `mask` is filled when any frame is
    // transparent and left empty otherwise. Raises error 25 when the strip
    // would be too large.
    void GetStripBitmap(TPlainBitmap& strip, TPlainBitmap& mask) const;

    // Bytes of the strip as a bottom-up 24-bit device-independent bitmap
    // with its 54-byte header, the measure of the size limits.
    static int64_t StripDibSize(int screenWidth, int screenHeight, int frames);

private:
    class Reader;
    const TGifImageDescriptor& Image(int image) const;
    void Clear();

    std::string m_signature;
    TGifScreenDescriptor m_screen;
    std::vector<TGifColorTable> m_colorTables;
    std::vector<TGifImageDescriptor> m_images;
    int m_loopCount = -1;
};

[[noreturn]] void RaiseGifError(int code, const std::string& special = {});

// One frame of an animation: its rectangle on the logical screen, how long
// it shows and what happens to its area before the next one.
struct TgfFrame {
    int Left = 0;
    int Top = 0;
    int Width = 0;
    int Height = 0;
    int DelayMs = 0; // milliseconds
    int Disposal = 0;
    bool IsLast = false; // the last frame of the strip
};

// An animated (or still) GIF as the viewer shows it: the film strip, one
// TgfFrame per frame, and the playing state. Animation runs off the owner's
// timer: call Tick on each of its ticks; OnInvalidate tells which rectangle to
// repaint when the frame changes.
class TGIFImage {
public:
    // Milliseconds from an arbitrary origin (the multimedia clock).
    using TClock = std::function<uint32_t()>;

    explicit TGIFImage(const TGif& gif);

    int Width() const { return m_width; }
    int Height() const { return m_height; }
    int NumFrames() const { return int(m_frames.size()); }
    bool IsAnimated() const { return m_animated; }
    bool IsTransparent() const { return m_transparent; }
    // Plays this many times; 0 = forever.
    int NumIterations() const { return m_numIterations; }
    const std::vector<TgfFrame>& Frames() const { return m_frames; }

    int CurrentFrame() const { return m_currentFrame; } // 1-based
    void SetCurrentFrame(int frame);
    int CurrentIteration() const { return m_currentIteration; }
    bool Visible() const { return m_visible; }
    void SetVisible(bool visible) { m_visible = visible; }
    bool Animate() const { return m_animating; }
    void SetAnimate(bool animate);
    // Advances to the next frame once the current frame's delay has passed.
    void Tick();

    // Draws the current frame stretched into `dest`; remembers `dest` as
    // the rectangle to invalidate when the frame changes.
    void Draw(TImageCanvas& canvas, const TImageRect& dest);
    const TImageRect& DrawRect() const { return m_drawRect; }

    // The whole strip (NumFrames() * Width() by Height()) and its mask
    // (empty when no frame is transparent).
    const TPlainBitmap& StripBitmap() const { return m_strip; }
    const TPlainBitmap& StripMask() const { return m_mask; }
    // The first frame alone, for still drawing.
    TPlainBitmap Bitmap() const;
    TPlainBitmap Mask() const;

    TClock Clock;
    std::function<void(const TImageRect&)> OnInvalidate;

private:
    uint32_t Now() const;

    int m_width = 0;
    int m_height = 0;
    bool m_animated = false;
    bool m_transparent = false;
    int m_numIterations = 1;
    std::vector<TgfFrame> m_frames;
    TPlainBitmap m_strip;
    TPlainBitmap m_mask;
    int m_currentFrame = 1;
    int m_currentIteration = 1;
    bool m_visible = true;
    bool m_animating = false;
    uint32_t m_lastTime = 0;
    uint32_t m_currentDelay = 0;
    TImageRect m_drawRect;
};

// Loading for the viewer: a TGIFImage, or null when anything fails (the
// error is swallowed). `isStill` tells whether the image has fewer than two
// frames. The file is opened read-only.
std::unique_ptr<TGIFImage> LoadGIFImage(const std::string& fileName, bool& isStill);
std::unique_ptr<TGIFImage> LoadGIFImage(std::istream& stream, bool& isStill);
std::unique_ptr<TGIFImage> LoadGIFImage(const uint8_t* data, size_t size, bool& isStill);
