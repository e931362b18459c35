#include "htmlview/HtmlFonts.h"
#include "platform/core/Text.h"

#include <QColor>
#include <QFont>
#include <QFontMetrics>
#include <QGlyphRun>
#include <QRawFont>
#include <QPainter>
#include <QString>

namespace {

// Windows-1252 bytes 0x80..0x9F; 0 where the code page has no character.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

bool IsMarker(unsigned char c)
{
    return c < 32;
}

QColor ToQColor(TColor c)
{
    return QColor((c >> 16) & 0xFF, (c >> 8) & 0xFF, c & 0xFF);
}

} // namespace

char16_t Cp1252ToUnicode(unsigned char c)
{
    if (c >= 0x80 && c < 0xA0)
        return kCp1252High[c - 0x80] ? kCp1252High[c - 0x80] : char16_t(c);
    return char16_t(c);
}

unsigned char UnicodeToCp1252(std::uint32_t codePoint)
{
    if (codePoint < 0x80 || (codePoint >= 0xA0 && codePoint <= 0xFF))
        return static_cast<unsigned char>(codePoint);
    for (int i = 0; i < 32; ++i)
        if (kCp1252High[i] == codePoint)
            return static_cast<unsigned char>(0x80 + i);
    return '?';
}

QString Cp1252ToQString(std::string_view text)
{
    QString out;
    out.reserve(static_cast<qsizetype>(text.size()));
    for (char ch : text) {
        auto c = static_cast<unsigned char>(ch);
        if (c == htmlchar::NbSpace)
            out.append(QChar(0x00A0));
        else if (!IsMarker(c))
            out.append(QChar(Cp1252ToUnicode(c)));
    }
    return out;
}

int THtmlFontEngine::TextWidth(const TMyFont& font, std::string_view text)
{
    const TFontData& data = Metrics(font);
    int width = 0;
    for (char c : text)
        width += data.Widths[static_cast<unsigned char>(c)];
    return width;
}

std::size_t THtmlFontEngine::KeyHash::operator()(const Key& k) const
{
    std::size_t h = std::hash<std::string>()(k.Name);
    h ^= std::size_t(k.Size) * 0x9E3779B97F4A7C15ull + (k.Bold ? 1 : 0) + (k.Italic ? 2 : 0) + (k.Fixed ? 4 : 0);
    return h;
}

// ---------------------------------------------------------------------------

struct TQtFontEngine::Entry {
    QFont Font;
    QRawFont Raw;
    TFontData Data;
};

TQtFontEngine::TQtFontEngine() = default;
TQtFontEngine::~TQtFontEngine() = default;

std::string TQtFontEngine::ResolveFamily(const std::string& name)
{
    struct Alias {
        const char* From;
        const char* To;
    };
    static const Alias aliases[] = {
        {"times new roman", "Liberation Serif"}, {"times", "Liberation Serif"},
        {"courier new", "Liberation Mono"},      {"courier", "Liberation Mono"},
        {"arial", "Liberation Sans"},            {"helvetica", "Liberation Sans"},
    };
    const std::string lower = asciitext::Lower(name);
    for (const Alias& a : aliases)
        if (lower == a.From)
            return a.To;
    return name;
}

TQtFontEngine::Entry& TQtFontEngine::Lookup(const TMyFont& font)
{
    Key key = KeyOf(font);
    auto it = m_cache.find(key);
    if (it != m_cache.end())
        return *it->second;

    auto entry = std::make_unique<Entry>();
    QFont& f = entry->Font;
    f.setFamily(QString::fromStdString(ResolveFamily(font.Name)));
    if (font.Fixed)
        f.setStyleHint(QFont::TypeWriter);
    f.setPixelSize(PixelSize(font.Size > 0 ? font.Size : 1));
    f.setBold(font.Bold);
    f.setItalic(font.Italic);
    // Layout adds up per-character advances; kerning would make drawn runs
    // differ from the measured ones.
    f.setKerning(false);
    QFontMetrics fm(f);
    entry->Data.Ascent = fm.ascent();
    entry->Data.Descent = fm.descent();
    entry->Data.Height = fm.ascent() + fm.descent();
    const int spaceWidth = fm.horizontalAdvance(QChar(' '));
    for (int c = 0; c < 256; ++c) {
        if (c == htmlchar::NbSpace)
            entry->Data.Widths[c] = spaceWidth;
        else if (IsMarker(static_cast<unsigned char>(c)))
            entry->Data.Widths[c] = 0;
        else
            entry->Data.Widths[c] = fm.horizontalAdvance(QChar(Cp1252ToUnicode(static_cast<unsigned char>(c))));
    }
    entry->Raw = QRawFont::fromFont(f);
    Entry& ref = *entry;
    m_cache.emplace(std::move(key), std::move(entry));
    return ref;
}

const TFontData& TQtFontEngine::Metrics(const TMyFont& font)
{
    return Lookup(font).Data;
}

void TQtFontEngine::DrawText(QPainter& painter, const TMyFont& font, int x, int baseline, std::string_view text,
                             TColor color)
{
    Entry& e = Lookup(font);
    // Glyphs go exactly where layout measured them: Qt's own text drawing
    // would place them by fractional advances and drift from the layout.
    QString chars;
    QList<QPointF> positions;
    chars.reserve(static_cast<qsizetype>(text.size()));
    positions.reserve(static_cast<qsizetype>(text.size()));
    int cx = x;
    for (char ch : text) {
        auto c = static_cast<unsigned char>(ch);
        if (c == htmlchar::NbSpace || c == 0xA0 || c == ' ') {
            cx += e.Data.Widths[c];
            continue;
        }
        if (!IsMarker(c)) {
            chars.append(QChar(Cp1252ToUnicode(c)));
            positions.append(QPointF(cx, baseline));
        }
        cx += e.Data.Widths[c];
    }
    const QColor pen = ToQColor(color == clNone ? font.Color : color);
    if (!chars.isEmpty() && e.Raw.isValid()) {
        QList<quint32> glyphs = e.Raw.glyphIndexesForString(chars);
        if (glyphs.size() == positions.size()) {
            QGlyphRun run;
            run.setRawFont(e.Raw);
            run.setGlyphIndexes(glyphs);
            run.setPositions(positions);
            painter.setPen(pen);
            painter.drawGlyphRun(QPointF(0, 0), run);
        } else {
            QFont f = e.Font;
            painter.setFont(f);
            painter.setPen(pen);
            painter.drawText(QPoint(x, baseline), Cp1252ToQString(text));
        }
    }
    // Underline and strike-out run under the spaces too.
    if (font.Underline || font.StrikeOut) {
        const int thickness = std::max(1, static_cast<int>(e.Raw.isValid() ? e.Raw.lineThickness() : 1));
        if (font.Underline) {
            const int y = baseline + std::max(1, static_cast<int>(e.Raw.isValid() ? e.Raw.underlinePosition() : 2));
            painter.fillRect(x, y, cx - x, thickness, pen);
        }
        if (font.StrikeOut)
            painter.fillRect(x, baseline - e.Data.Ascent / 3, cx - x, thickness, pen);
    }
}

// ---------------------------------------------------------------------------

const TFontData& TFixedFontEngine::Metrics(const TMyFont& font)
{
    auto it = m_cache.find(font.Size);
    if (it != m_cache.end())
        return *it->second;
    auto data = std::make_unique<TFontData>();
    data->Ascent = font.Size;
    data->Descent = font.Size / 4;
    data->Height = data->Ascent + data->Descent;
    for (int c = 0; c < 256; ++c)
        data->Widths[c] = (IsMarker(static_cast<unsigned char>(c)) && c != htmlchar::NbSpace) ? 0 : CharWidth(font.Size);
    const TFontData& ref = *data;
    m_cache.emplace(font.Size, std::move(data));
    return ref;
}

void TFixedFontEngine::DrawText(QPainter& painter, const TMyFont& font, int x, int baseline, std::string_view text,
                                TColor color)
{
    const TFontData& data = Metrics(font);
    const QColor c = ToQColor(color == clNone ? font.Color : color);
    const int boxHeight = font.Bold ? data.Ascent * 3 / 4 + 1 : data.Ascent * 3 / 4;
    const int start = x;
    for (char ch : text) {
        auto u = static_cast<unsigned char>(ch);
        const int w = data.Widths[u];
        if (u > ' ' && u != 0xA0 && w > 1)
            painter.fillRect(x, baseline - boxHeight, w - 1, boxHeight, c);
        x += w;
    }
    if (font.Underline)
        painter.fillRect(start, baseline + 1, x - start, 1, c);
    if (font.StrikeOut)
        painter.fillRect(start, baseline - data.Ascent / 3, x - start, 1, c);
}
