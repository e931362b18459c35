#include "htmlview/HtmlCharset.h"

#include "htmlview/HtmlTypes.h"
#include "platform/core/Text.h"

#include <algorithm>
#include <array>

namespace {

constexpr std::string_view kBom = "\xEF\xBB\xBF";
// How far into a page its charset declaration is looked for.
constexpr std::size_t kDeclarationWindow = 8192;

bool IsSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f';
}

// Within one META tag (lower-cased): "charset" [spaces] "=" [spaces] [quote]
// "utf-8" or "utf8".
bool MetaNamesUtf8(std::string_view tag)
{
    for (std::size_t at = tag.find("charset"); at != std::string_view::npos; at = tag.find("charset", at + 1)) {
        std::size_t i = at + 7;
        while (i < tag.size() && IsSpace(tag[i]))
            ++i;
        if (i >= tag.size() || tag[i] != '=')
            continue;
        ++i;
        while (i < tag.size() && (IsSpace(tag[i]) || tag[i] == '"' || tag[i] == '\''))
            ++i;
        const std::string_view value = tag.substr(i);
        if (value.starts_with("utf-8") || value.starts_with("utf8"))
            return true;
    }
    return false;
}

} // namespace

bool DeclaresUtf8(std::string_view html)
{
    if (html.starts_with(kBom))
        return true;
    std::string head(html.substr(0, kDeclarationWindow));
    std::transform(head.begin(), head.end(), head.begin(), asciitext::LowerChar);
    const std::size_t body = head.find("<body");
    if (body != std::string::npos)
        head.resize(body);
    for (std::size_t at = head.find("<meta"); at != std::string::npos; at = head.find("<meta", at + 5)) {
        const std::size_t end = head.find('>', at);
        const std::string_view tag =
            std::string_view(head).substr(at, end == std::string::npos ? std::string::npos : end - at);
        if (MetaNamesUtf8(tag))
            return true;
    }
    return false;
}

std::string Utf8ToCp1252(std::string_view text)
{
    if (text.starts_with(kBom))
        text.remove_prefix(kBom.size());
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const auto b0 = static_cast<unsigned char>(text[i]);
        if (b0 < 0x80) {
            out.push_back(static_cast<char>(b0));
            ++i;
            continue;
        }
        // Length and the smallest code point of a sequence by its first byte
        // (overlong forms are not well formed).
        std::size_t length = 0;
        std::uint32_t cp = 0, least = 0;
        if (b0 >= 0xC2 && b0 <= 0xDF) {
            length = 2, cp = b0 & 0x1F, least = 0x80;
        } else if (b0 >= 0xE0 && b0 <= 0xEF) {
            length = 3, cp = b0 & 0x0F, least = 0x800;
        } else if (b0 >= 0xF0 && b0 <= 0xF4) {
            length = 4, cp = b0 & 0x07, least = 0x10000;
        }
        bool wellFormed = length > 0 && i + length <= text.size();
        for (std::size_t k = 1; wellFormed && k < length; ++k) {
            const auto b = static_cast<unsigned char>(text[i + k]);
            wellFormed = (b & 0xC0) == 0x80;
            cp = (cp << 6) | (b & 0x3F);
        }
        wellFormed = wellFormed && cp >= least && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF);
        if (!wellFormed) {
            out.push_back(static_cast<char>(b0));
            ++i;
            continue;
        }
        out.push_back(static_cast<char>(UnicodeToCp1252(cp)));
        i += length;
    }
    return out;
}
