#pragma once
// THtmlView: the HTML viewer control. It loads a file or a string, has the
// parser build the document, lays it out into its width, paints it into a
// child drawing surface, scrolls with two scroll bars and the keyboard, shows
// a hand cursor over links and follows a clicked link inside the document (a
// named anchor) or by loading another file.
//
// Everything runs on the user interface thread. Exceptions of the loading
// calls (LoadFromFile: "Can't locate file: ...") reach their caller; an
// exception inside the control's own event handling (a click on a link to a
// missing file) is handed to OnError and never crosses the event loop.

#include "htmlview/HtmlDocument.h"
#include "htmlview/HtmlFonts.h"
#include "htmlview/HtmlImage.h"
#include "htmlview/HtmlParse.h"
#include "platform/core/Exception.h"

#include <QWidget>

#include <functional>
#include <istream>
#include <memory>
#include <string>
#include <vector>

class QScrollBar;

// No off-screen bitmap for painting.
class EOutOfResources : public Exception {
public:
    using Exception::Exception;
};

enum THTMLBorderStyle { htFocused, htNone, htSingle };
enum TScrollStyle { ssNone, ssHorizontal, ssVertical, ssBoth };
enum THtmlViewOption : unsigned {
    htOverLinksActive = 1,
    htNoLinkUnderline = 2,
    htShowDummyCaret = 4,
    htShowVScroll = 8,
};
using THtmlViewOptions = unsigned; // a set of THtmlViewOption
enum THtmlFileType { HTMLType, TextType, ImgType, OtherType };

class THtmlView : public QWidget {
public:
    explicit THtmlView(QWidget* parent = nullptr);
    ~THtmlView() override;

    // ---- Loading and moving about
    // Loads an HTML file; name may end in "#anchor". Raises EInOutError
    // "Can't locate file: " + file when the file does not exist. Does
    // nothing while a load runs or for an empty name.
    void LoadFromFile(const std::string& name);
    // Parses text held in memory (HTML, or plain text when plainText).
    void LoadFromString(const std::string& text, bool plainText = false);
    // Shows one image as the document.
    void LoadImageFile(const std::string& name);
    // Scrolls to an anchor ("name" or "#name", any case); false when unknown.
    bool PositionTo(const std::string& anchor);
    void ScrollToY(int y);
    // A link's file name made absolute: relative names against the BASE URL
    // or the current file's folder; "/"-rooted names below ServerRoot when
    // one is set; "file://" and %XX escapes undone.
    std::string ExpandLinkName(const std::string& name) const;
    // The click handler for a link (URL as written in the document).
    // Override to change what a click does; OnHotSpotClick may claim it.
    virtual void HotSpotClick(const std::string& url);

    // ---- State
    const std::string& CurrentFile() const { return m_currentFile; }
    THtmlFileType CurrentFileType() const { return m_fileType; }
    const std::string& DocumentTitle() const { return m_title; }
    const std::string& Base() const { return m_parse.BaseUrl; }
    const std::string& BaseTarget() const { return m_parse.BaseTarget; }
    int Position() const { return m_vPos; } // top of the view in the document
    int HScrollPos() const { return m_hPos; }
    int DocumentHeight() const { return m_document.DocumentHeight; }
    int DocumentWidth() const { return m_document.DocumentWidth; }
    bool Processing() const { return m_processing; }
    const std::string& LinkURL() const { return m_linkUrl; }
    const std::string& LinkTarget() const { return m_linkTarget; }
    const TSectionList& Document() const { return m_document; }
    QWidget* PaintPanel() const { return m_paintPanel; }
    QScrollBar* VScrollBar() const { return m_vBar; }
    QScrollBar* HScrollBar() const { return m_hBar; }
    int VPageStep() const;
    int HPageStep() const;

    // Visited links: most recent first, at most VisitedMaxCount.
    const std::vector<std::string>& VisitedList() const { return m_visited; }
    void ClearVisited();

    // History: index 0 is the newest entry; HistoryIndex is the entry shown.
    int HistoryCount() const { return static_cast<int>(m_history.size()); }
    int HistoryIndex() const { return m_historyIndex; }
    // Shows history entry index (loading its file when it is another one).
    void SetHistoryIndex(int index);
    const std::string& HistoryFile(int index) const { return m_history.at(std::size_t(index)).File; }
    const std::string& HistoryTitle(int index) const { return m_history.at(std::size_t(index)).Title; }
    void ClearHistory();

    // ---- Published properties
    // Font names, sizes and colours are taken by the next load; background,
    // visited and over-link colours, margins and scroll bars apply at once.
    TColor DefBackground() const { return m_defBackground; }
    void SetDefBackground(TColor color);
    THTMLBorderStyle BorderStyle() const { return m_borderStyle; }
    void SetBorderStyle(THTMLBorderStyle style);
    int HistoryMaxCount() const { return m_historyMaxCount; }
    // Lowering the count clears the history; a negative count is refused.
    void SetHistoryMaxCount(int count);
    const std::string& DefFontName() const { return m_defFontName; }
    void SetDefFontName(const std::string& name);
    const std::string& DefPreFontName() const { return m_defPreFontName; }
    void SetDefPreFontName(const std::string& name);
    int DefFontSize() const { return m_defFontSize; }
    void SetDefFontSize(int size);
    TColor DefFontColor() const { return m_defFontColor; }
    void SetDefFontColor(TColor color);
    TColor DefHotSpotColor() const { return m_defHotSpotColor; }
    void SetDefHotSpotColor(TColor color);
    TColor DefVisitedLinkColor() const { return m_defVisitedLinkColor; }
    void SetDefVisitedLinkColor(TColor color);
    TColor DefOverLinkColor() const { return m_defOverLinkColor; }
    void SetDefOverLinkColor(TColor color);
    int VisitedMaxCount() const { return m_visitedMaxCount; }
    void SetVisitedMaxCount(int count);
    int ImageCacheCount() const { return m_imageCacheCount; }
    void SetImageCacheCount(int count);
    bool NoSelect() const { return m_noSelect; }
    void SetNoSelect(bool value) { m_noSelect = value; }
    TScrollStyle ScrollBars() const { return m_scrollBars; }
    void SetScrollBars(TScrollStyle style);
    int CharSet() const { return m_charSet; }
    void SetCharSet(int charSet) { m_charSet = charSet; }
    int MarginHeight() const { return m_marginHeight; }
    void SetMarginHeight(int value);
    int MarginWidth() const { return m_marginWidth; }
    void SetMarginWidth(int value);
    const std::string& ServerRoot() const { return m_serverRoot; }
    void SetServerRoot(const std::string& root);
    THtmlViewOptions htOptions() const { return m_options; }
    void SethtOptions(THtmlViewOptions options);
    bool ViewImages() const { return m_viewImages; }
    void SetViewImages(bool value);

    // ---- Fonts and images
    // The fonts layout and drawing use (real fonts unless replaced; tests
    // use TFixedFontEngine). The document is laid out again.
    void SetFontEngine(std::shared_ptr<THtmlFontEngine> engine);
    THtmlFontEngine& FontEngine() const { return *m_fonts; }
    // The image decoder hook (see HtmlImage.h); images of the current
    // document are resolved again. The default is ViewerImageLoader()
    // (GIF, JPEG, BMP); an empty loader shows no pictures.
    void SetImageLoader(THtmlImageLoader loader);
    // Repaints the places where image is shown (THtmlImage::NotifyChanged
    // ends up here).
    void ImageChanged(const THtmlImage* image);

    // ---- Events (fired only when set)
    std::function<void(THtmlView* sender, const std::string& src)> OnHotSpotCovered;
    std::function<void(THtmlView* sender, const std::string& src, bool& handled)> OnHotSpotClick;
    // Supplies an image's bytes instead of the file: set stream to a readable
    // stream to use it.
    std::function<void(THtmlView* sender, const std::string& src, std::shared_ptr<std::istream>& stream)>
        OnImageRequest;
    std::function<void(THtmlView* sender, const std::string& name, const std::string& language,
                       const std::string& script)>
        OnScript;
    std::function<void(THtmlView* sender)> OnHistoryChange;
    std::function<void(THtmlView* sender, bool processingOn)> OnProcessing;
    std::function<void(THtmlView* sender, const std::string& command, const std::vector<std::string>& params,
                       std::string& text)>
        OnInclude;
    std::function<void(THtmlView* sender, const std::string& src, int loop, bool terminate)> OnSoundRequest;
    std::function<void(THtmlView* sender, const std::string& httpEq, const std::string& name,
                       const std::string& content)>
        OnMeta;
    std::function<void(THtmlView* sender, int delay, const std::string& url)> OnMetaRefresh;
    std::function<void(THtmlView* sender, int x, int y)> OnRightClick;
    std::function<void(THtmlView* sender, int x, int y)> OnMouseDouble;
    // An exception raised inside the control's own event handling.
    std::function<void(THtmlView* sender, const Exception& error)> OnError;

protected:
    void resizeEvent(QResizeEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;

private:
    class TPaintPanel;
    friend class TPaintPanel;
    struct HistoryEntry {
        std::string File;
        std::string Title;
        THtmlFileType Type = HTMLType;
        int Position = 0;
    };

    void Relayout();
    void UpdateScrollBars();
    void PaintDocument(QPainter& painter, const QRect& clip);
    void SetVPos(int y, bool fromScrollBar = false);
    void SetHPos(int x);
    int ViewHeight() const;
    int ViewWidth() const;
    int MaxVPos() const;
    int MaxHPos() const;
    int BorderWidth() const { return m_borderStyle == htNone ? 0 : 1; }
    void ApplySettings();
    void ResolveImages();
    std::shared_ptr<THtmlImage> LoadImage(const std::string& src);
    void MarkVisited();
    void AddVisited(const std::string& url);
    void BumpHistory(const std::string& oldFile, const std::string& oldTitle, THtmlFileType oldType, int oldPos);
    void SetProcessing(bool on);
    void LoadDocument(const std::string& text, THtmlFileType type);
    std::string LinkToFileName(const std::string& name) const;

    // Mouse handling of the drawing surface.
    void PanelMouseMove(QMouseEvent* event);
    void PanelMousePress(QMouseEvent* event);
    void PanelMouseRelease(QMouseEvent* event);
    void PanelMouseDouble(QMouseEvent* event);
    void PanelLeave();
    void SetHover(const TLinkHit& hit);

    QWidget* m_paintPanel = nullptr; // a TPaintPanel
    QScrollBar* m_vBar = nullptr;
    QScrollBar* m_hBar = nullptr;
    std::shared_ptr<THtmlFontEngine> m_fonts;
    THtmlImageLoader m_imageLoader;
    struct CachedImage {
        std::string Name;
        std::shared_ptr<THtmlImage> Image;
    };
    std::vector<CachedImage> m_imageCache; // most recent first

    TSectionList m_document;
    THtmlParser m_parser;
    TParseResult m_parse;
    std::string m_currentFile;
    THtmlFileType m_fileType = HTMLType;
    std::string m_title;
    int m_vPos = 0;
    int m_hPos = 0;
    bool m_processing = false;
    bool m_updatingBars = false;
    std::string m_linkUrl, m_linkTarget;
    int m_hoverLinkId = 0;
    int m_pressedLinkId = 0;
    std::vector<std::string> m_visited;
    std::vector<HistoryEntry> m_history;
    int m_historyIndex = 0;
    bool m_navigatingHistory = false;
    std::vector<std::shared_ptr<THtmlImage>> m_watchedImages;

    TColor m_defBackground = clBtnFace;
    THTMLBorderStyle m_borderStyle = htFocused;
    int m_historyMaxCount = 0;
    std::string m_defFontName = "Times New Roman";
    std::string m_defPreFontName = "Courier New";
    int m_defFontSize = 12;
    TColor m_defFontColor = clWindowText;
    TColor m_defHotSpotColor = clBlue;
    TColor m_defVisitedLinkColor = clPurple;
    TColor m_defOverLinkColor = clBlue;
    int m_visitedMaxCount = 50;
    int m_imageCacheCount = 5;
    bool m_noSelect = false;
    TScrollStyle m_scrollBars = ssBoth;
    int m_charSet = 1;
    int m_marginHeight = 5;
    int m_marginWidth = 10;
    std::string m_serverRoot;
    THtmlViewOptions m_options = 0;
    bool m_viewImages = true;
};
