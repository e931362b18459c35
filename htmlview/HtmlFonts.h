#pragma once
// Fonts of the viewer. Layout and drawing reach fonts only through
// THtmlFontEngine, so the layout can be run (and tested) with known metrics:
// TQtFontEngine measures and draws with real fonts, TFixedFontEngine gives
// every character the same advance and draws boxes.

#include "htmlview/HtmlTypes.h"

#include <array>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

class QPainter;
class QFont;

// A font as the document uses it. Size is the real size in points:
// NominalSize × DefFontSize / 12, integer multiply-then-divide.
struct TMyFont {
    std::string Name;
    int NominalSize = 12;
    int Size = 12;
    bool Bold = false;
    bool Italic = false;
    bool Underline = false;
    bool StrikeOut = false;
    bool Fixed = false; // fixed-pitch (TT, CODE, PRE ...)
    TColor Color = clWindowText;
    int CharSet = 1;

    void SetNominalSize(int nominal, int defFontSize)
    {
        NominalSize = nominal;
        Size = nominal * defFontSize / 12;
    }
    bool operator==(const TMyFont&) const = default;
};

// Metrics of one resolved font: heights in pixels and the advance of every
// Windows-1252 byte. Control codes (markers, CR) advance 0; NbSpace advances
// as a space.
struct TFontData {
    int Ascent = 0;
    int Descent = 0;
    int Height = 0;
    std::array<int, 256> Widths{};
};

class THtmlFontEngine {
public:
    virtual ~THtmlFontEngine() = default;

    // The metrics of a font; the reference stays valid for the engine's life.
    virtual const TFontData& Metrics(const TMyFont& font) = 0;
    // Draws Windows-1252 text with its baseline at y, in the font's own colour
    // unless color is not clNone. Markers are not drawn.
    virtual void DrawText(QPainter& painter, const TMyFont& font, int x, int baseline,
                          std::string_view text, TColor color) = 0;

    int TextWidth(const TMyFont& font, std::string_view text);

protected:
    struct Key {
        std::string Name;
        int Size;
        bool Bold, Italic, Fixed;
        bool operator==(const Key&) const = default;
    };
    struct KeyHash {
        std::size_t operator()(const Key& k) const;
    };
    static Key KeyOf(const TMyFont& font) { return {font.Name, font.Size, font.Bold, font.Italic, font.Fixed}; }
};

// Real fonts through Qt. "Times New Roman", "Courier New" and "Arial" resolve
// to the metric-compatible Liberation faces. Sizes are points at 96 dots per
// inch, so the picture does not depend on the screen.
class TQtFontEngine : public THtmlFontEngine {
public:
    TQtFontEngine();
    ~TQtFontEngine() override;
    const TFontData& Metrics(const TMyFont& font) override;
    void DrawText(QPainter& painter, const TMyFont& font, int x, int baseline, std::string_view text,
                  TColor color) override;

    static std::string ResolveFamily(const std::string& name);
    static int PixelSize(int pointSize) { return (pointSize * 96 + 36) / 72; }

private:
    struct Entry;
    Entry& Lookup(const TMyFont& font);
    std::unordered_map<Key, std::unique_ptr<Entry>, KeyHash> m_cache;
};

// Known metrics for tests: every drawable character advances Size / 2 pixels
// (at least 1), ascent is Size, descent Size / 4. Text is drawn as one filled
// box per character, which makes pictures independent of font rendering.
class TFixedFontEngine : public THtmlFontEngine {
public:
    const TFontData& Metrics(const TMyFont& font) override;
    void DrawText(QPainter& painter, const TMyFont& font, int x, int baseline, std::string_view text,
                  TColor color) override;

    static int CharWidth(int size) { return size / 2 > 0 ? size / 2 : 1; }

private:
    std::unordered_map<int, std::unique_ptr<TFontData>> m_cache;
};
