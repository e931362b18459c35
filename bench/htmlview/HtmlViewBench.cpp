// Parse + layout of a generated 1 MB HTML document by our viewer, side by
// side with Qt's own QTextDocument::setHtml + layout of the same text, and
// the time our viewer takes for the program's help page. Prints the ratio.

#include "htmlview/HtmlParse.h"

#include <QAbstractTextDocumentLayout>
#include <QApplication>
#include <QTextDocument>

#include <benchmark/benchmark.h>

#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <sstream>

namespace {

constexpr int kWidth = 600;

std::string GenerateDocument(std::size_t size)
{
    static const char* words[] = {"stream", "camera", "viewer", "address", "upload", "bitrate", "the",
                                  "a",      "page",   "network", "server", "preview", "player", "of",
                                  "and",    "Lumora", "template", "window", "source", "port"};
    std::mt19937 rng(7);
    auto sentence = [&](int n) {
        std::string s;
        for (int i = 0; i < n; ++i) {
            if (i)
                s += ' ';
            s += words[rng() % 20];
        }
        return s;
    };
    std::string html = "<html><head><title>Generated</title></head><body>\n";
    int section = 0;
    while (html.size() < size) {
        html += "<h2><a name=\"s" + std::to_string(section) + "\"></a>" + sentence(4) + "</h2>\n";
        for (int p = 0; p < 4; ++p) {
            html += "<p>" + sentence(25) + " <a href=\"page" + std::to_string(section) + ".htm#s" +
                    std::to_string(p) + "\">" + sentence(3) + "</a> " + sentence(20) + " <b>" + sentence(3) +
                    "</b> " + sentence(15) + "</p>\n";
        }
        html += "<ul>\n";
        for (int i = 0; i < 5; ++i)
            html += "<li>" + sentence(8) + " <i>" + sentence(2) + "</i>\n";
        html += "</ul>\n<hr>\n";
        ++section;
    }
    return html + "</body></html>\n";
}

const std::string& Document()
{
    static const std::string doc = GenerateDocument(1 << 20);
    return doc;
}

const std::string& HelpPage()
{
    static const std::string page = [] {
        std::ifstream in(LUMORA_SOURCE_DIR "/app/resources/help.htm", std::ios::binary);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        return text.empty() ? GenerateDocument(4000) : text;
    }();
    return page;
}

void ParseAndLayout(benchmark::State& state, const std::string& text)
{
    TQtFontEngine fonts; // kept warm across iterations, as in the viewer
    THtmlParser parser;
    for (auto _ : state) {
        TSectionList doc;
        parser.ParseDocument(text, doc);
        doc.DoLayout(fonts, kWidth, 10, 5, 5);
        benchmark::DoNotOptimize(doc.DocumentHeight);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}

void BM_Lumora_1MB(benchmark::State& state)
{
    ParseAndLayout(state, Document());
}

void BM_QTextDocument_1MB(benchmark::State& state)
{
    const QString html = QString::fromLatin1(Document().data(), static_cast<qsizetype>(Document().size()));
    for (auto _ : state) {
        QTextDocument doc;
        doc.setDefaultFont(QFont("Liberation Serif", 12));
        doc.setHtml(html);
        doc.setTextWidth(kWidth);
        benchmark::DoNotOptimize(doc.documentLayout()->documentSize().height());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(Document().size()));
}

void BM_Lumora_HelpPage(benchmark::State& state)
{
    ParseAndLayout(state, HelpPage());
}

BENCHMARK(BM_Lumora_1MB)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_QTextDocument_1MB)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_Lumora_HelpPage)->Unit(benchmark::kMicrosecond);

class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& r : runs)
            if (r.run_type == Run::RT_Iteration)
                Times[r.run_name.function_name] = r.GetAdjustedCPUTime();
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> Times;
};

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const auto ours = reporter.Times.find("BM_Lumora_1MB");
    const auto peer = reporter.Times.find("BM_QTextDocument_1MB");
    if (ours != reporter.Times.end() && peer != reporter.Times.end() && ours->second > 0)
        std::printf("\nparse + layout of %zu bytes: QTextDocument / THtmlParser+layout (CPU time) = %.2f "
                    "(above 1: ours is faster)\n",
                    Document().size(), peer->second / ours->second);
    benchmark::Shutdown();
    return 0;
}
