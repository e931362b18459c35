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

// HTML 4's entities beyond the Latin-1 names: its special characters and its
// symbols, mathematical symbols and Greek letters.
struct Entity {
    std::string_view Name;
    std::uint32_t CodePoint;
};
constexpr Entity kHtml4Entities[] = {
    {"OElig", 338},    {"oelig", 339},    {"Scaron", 352},   {"scaron", 353},   {"Yuml", 376},
    {"fnof", 402},     {"circ", 710},     {"tilde", 732},    {"Alpha", 913},    {"Beta", 914},
    {"Gamma", 915},    {"Delta", 916},    {"Epsilon", 917},  {"Zeta", 918},     {"Eta", 919},
    {"Theta", 920},    {"Iota", 921},     {"Kappa", 922},    {"Lambda", 923},   {"Mu", 924},
    {"Nu", 925},       {"Xi", 926},       {"Omicron", 927},  {"Pi", 928},       {"Rho", 929},
    {"Sigma", 931},    {"Tau", 932},      {"Upsilon", 933},  {"Phi", 934},      {"Chi", 935},
    {"Psi", 936},      {"Omega", 937},    {"alpha", 945},    {"beta", 946},     {"gamma", 947},
    {"delta", 948},    {"epsilon", 949},  {"zeta", 950},     {"eta", 951},      {"theta", 952},
    {"iota", 953},     {"kappa", 954},    {"lambda", 955},   {"mu", 956},       {"nu", 957},
    {"xi", 958},       {"omicron", 959},  {"pi", 960},       {"rho", 961},      {"sigmaf", 962},
    {"sigma", 963},    {"tau", 964},      {"upsilon", 965},  {"phi", 966},      {"chi", 967},
    {"psi", 968},      {"omega", 969},    {"thetasym", 977}, {"upsih", 978},    {"piv", 982},
    {"ensp", 8194},    {"emsp", 8195},    {"thinsp", 8201},  {"zwnj", 8204},    {"zwj", 8205},
    {"lrm", 8206},     {"rlm", 8207},     {"ndash", 8211},   {"mdash", 8212},   {"lsquo", 8216},
    {"rsquo", 8217},   {"sbquo", 8218},   {"ldquo", 8220},   {"rdquo", 8221},   {"bdquo", 8222},
    {"dagger", 8224},  {"Dagger", 8225},  {"bull", 8226},    {"hellip", 8230},  {"permil", 8240},
    {"prime", 8242},   {"Prime", 8243},   {"lsaquo", 8249},  {"rsaquo", 8250},  {"oline", 8254},
    {"frasl", 8260},   {"euro", 8364},    {"image", 8465},   {"weierp", 8472},  {"real", 8476},
    {"trade", 8482},   {"alefsym", 8501}, {"larr", 8592},    {"uarr", 8593},    {"rarr", 8594},
    {"darr", 8595},    {"harr", 8596},    {"crarr", 8629},   {"lArr", 8656},    {"uArr", 8657},
    {"rArr", 8658},    {"dArr", 8659},    {"hArr", 8660},    {"forall", 8704},  {"part", 8706},
    {"exist", 8707},   {"empty", 8709},   {"nabla", 8711},   {"isin", 8712},    {"notin", 8713},
    {"ni", 8715},      {"prod", 8719},    {"sum", 8721},     {"minus", 8722},   {"lowast", 8727},
    {"radic", 8730},   {"prop", 8733},    {"infin", 8734},   {"ang", 8736},     {"and", 8743},
    {"or", 8744},      {"cap", 8745},     {"cup", 8746},     {"int", 8747},     {"there4", 8756},
    {"sim", 8764},     {"cong", 8773},    {"asymp", 8776},   {"ne", 8800},      {"equiv", 8801},
    {"le", 8804},      {"ge", 8805},      {"sub", 8834},     {"sup", 8835},     {"nsub", 8836},
    {"sube", 8838},    {"supe", 8839},    {"oplus", 8853},   {"otimes", 8855},  {"perp", 8869},
    {"sdot", 8901},    {"lceil", 8968},   {"rceil", 8969},   {"lfloor", 8970},  {"rfloor", 8971},
    {"lang", 9001},    {"rang", 9002},    {"loz", 9674},     {"spades", 9824},  {"clubs", 9827},
    {"hearts", 9829},  {"diams", 9830},
};

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

std::uint32_t Html4EntityCodePoint(std::string_view name)
{
    for (const Entity& e : kHtml4Entities)
        if (e.Name == name)
            return e.CodePoint;
    return 0;
}
