// Any bytes through the HTML parser and the layout (known metrics, two
// widths), and through the plain-text reader.

#include "htmlview/HtmlParse.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    static TFixedFontEngine fonts;
    THtmlParser parser;
    {
        TSectionList doc;
        parser.ParseDocument(text, doc, [](const std::string&, const std::vector<std::string>&,
                                           std::string& out) { out = "<b>x</b><!--#inc-->"; },
                             [](const std::string&, int) {},
                             [](const std::string&, const std::string&, const std::string&) {},
                             [](const std::string&, const std::string&, const std::string&) {});
        doc.DoLayout(fonts, 300, 10, 5, 5);
        doc.DoLayout(fonts, 7, 0, 0, 0);
        TLinkHit hit;
        doc.FindLink(50, 50, hit);
    }
    {
        TSectionList doc;
        parser.ParsePlainText(text, doc);
        doc.DoLayout(fonts, 100, 10, 5, 5);
    }
    return 0;
}
