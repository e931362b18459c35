// Every control of every page can be seen and clicked where it is drawn:
// nothing lies on another control, nothing sticks out of its page, and no
// caption is cut. Run at 100 % and again at 200 %, and each page is saved as
// a screenshot for review.
#include "tests/app/AppFixture.h"

#include "htmlview/HtmlDocument.h"
#include "htmlview/HtmlView.h"

#include <QAbstractButton>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QTabWidget>
#include <QTreeWidget>

#include <cmath>
#include <vector>

namespace {

class WindowLayout : public AppFixture {
protected:
    // Saves the whole client area (at 200 % a small screen may scroll the window).
    void SavePage(const std::string& page)
    {
        const int scale = static_cast<int>(std::lround(m_form->devicePixelRatioF() * 100));
        const std::string folder = testsupport::BuildDir() + "/screenshots";
        QDir().mkpath(QString::fromStdString(folder));
        QWidget* client = m_form->findChild<QWidget*>("ClientArea");
        ASSERT_NE(client, nullptr);
        client->grab().save(QString::fromStdString(folder + "/window-" + page + "-" + std::to_string(scale) + ".png"));
    }
};

// The controls of an area: its own visible children and the visible members
// of its groups and panels.
std::vector<QWidget*> Controls(QWidget* area)
{
    std::vector<QWidget*> out;
    for (QWidget* w : area->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (!w->isVisible())
            continue;
        out.push_back(w);
        if (qobject_cast<QGroupBox*>(w) || w->objectName().startsWith("Panel"))
            for (QWidget* member : w->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
                if (member->isVisible())
                    out.push_back(member);
    }
    return out;
}

std::string NameOf(const QWidget* w)
{
    if (!w)
        return "(nothing)";
    if (!w->objectName().isEmpty())
        return w->objectName().toStdString();
    if (auto* l = qobject_cast<const QLabel*>(w))
        return "label \"" + l->text().toStdString() + "\"";
    return w->metaObject()->className();
}

// The caption a control shows, and whether its whole width fits.
bool CaptionFits(const QWidget* w, std::string& caption)
{
    if (auto* l = qobject_cast<const QLabel*>(w)) {
        if (l->wordWrap() || l->text().isEmpty())
            return true;
        caption = l->text().toStdString();
        return l->sizeHint().width() <= l->width();
    }
    if (auto* b = qobject_cast<const QPushButton*>(w)) {
        // A push button's size hint has a style minimum; the text is what counts.
        caption = b->text().toStdString();
        return b->fontMetrics().horizontalAdvance(b->text()) + 8 <= b->width();
    }
    if (auto* b = qobject_cast<const QAbstractButton*>(w)) {
        caption = b->text().toStdString();
        return b->sizeHint().width() <= b->width();
    }
    return true;
}

void CheckArea(QWidget* area)
{
    const std::vector<QWidget*> controls = Controls(area);
    ASSERT_FALSE(controls.empty());
    auto rectIn = [area](const QWidget* w) { return QRect(w->mapTo(area, QPoint(0, 0)), w->size()); };
    for (QWidget* w : controls) {
        SCOPED_TRACE(NameOf(w));
        const QRect r = rectIn(w);
        EXPECT_TRUE(area->rect().contains(r)) << "sticks out of its page: " << r.x() << "," << r.y() << " "
                                              << r.width() << "x" << r.height();
        // A click on the control's centre reaches the control.
        QWidget* hit = area->childAt(r.center());
        EXPECT_TRUE(hit == w || w->isAncestorOf(hit)) << "its centre shows " << NameOf(hit);
        std::string caption;
        EXPECT_TRUE(CaptionFits(w, caption)) << "caption cut: " << caption;
    }
    // Rectangles meet only where one control holds the other (a group and its members).
    for (size_t i = 0; i < controls.size(); ++i)
        for (size_t j = i + 1; j < controls.size(); ++j) {
            QWidget* a = controls[i];
            QWidget* b = controls[j];
            if (a->isAncestorOf(b) || b->isAncestorOf(a))
                continue;
            EXPECT_FALSE(rectIn(a).intersects(rectIn(b))) << NameOf(a) << " and " << NameOf(b) << " overlap";
        }
}

TEST_F(WindowLayout, EveryControlOfEveryPageIsVisibleAndReachable)
{
    TForm1& f = Open();
    ASSERT_TRUE(m_errors.empty()) << m_errors.front();
    {
        SCOPED_TRACE("client area");
        CheckArea(f.findChild<QWidget*>("ClientArea"));
    }
    const struct {
        QWidget* page;
        const char* name;
    } pages[] = {{f.TabSheet1, "video"}, {f.TabSheet2, "network"}, {f.TabSheet3, "website"}, {f.TabSheet4, "help"}};
    for (int i = 0; i < 4; ++i) {
        const auto& p = pages[i];
        SCOPED_TRACE(p.name);
        // Shown as a user shows it, so the screenshot's tree marks the page.
        f.TreeView1->setCurrentItem(f.TreeView1->topLevelItem(i));
        f.TreeView1Click();
        ASSERT_EQ(f.PageControl1->currentWidget(), p.page);
        QApplication::processEvents();
        CheckArea(p.page);
        SavePage(p.name);
    }
}

// The help link shows the manual (README.md rendered at build time) in the
// help viewer: its tables as tables, its own links' anchors, and a way back
// to the help page, whose sections the manual's chapters extend.
TEST_F(WindowLayout, HelpViewerShowsTheHelpPageAndTheManual)
{
    TForm1& f = Open();
    ASSERT_TRUE(m_errors.empty()) << m_errors.front();
    f.TreeView1->setCurrentItem(f.TreeView1->topLevelItem(3));
    f.TreeView1Click();
    for (const char* section : {"#video", "#network", "#website", "#security", "#browser", "#relay"})
        EXPECT_TRUE(f.HTML->PositionTo(section)) << "the help page has no section " << section;

    f.Label16Click();
    ASSERT_TRUE(m_errors.empty()) << m_errors.front();
    ASSERT_EQ(f.HTML->DocumentTitle(), "Lumora manual");
    int tables = 0;
    for (const auto& block : f.HTML->Document().Blocks)
        tables += dynamic_cast<const THtmlTable*>(block.get()) != nullptr;
    EXPECT_GE(tables, 4) << "the README's tables are not shown as tables";
    for (const char* chapter : {"#website-publishing", "#watch-in-a-browser", "#more-than-ten-viewers"})
        EXPECT_TRUE(f.HTML->PositionTo(chapter)) << chapter;
    f.HTML->ScrollToY(0);
    QApplication::processEvents();
    SavePage("manual");
    f.HTML->PositionTo("#command-line");
    QApplication::processEvents();
    SavePage("manual-table");

    f.HTML->HotSpotClick("help.htm");
    ASSERT_TRUE(m_errors.empty()) << m_errors.front();
    EXPECT_EQ(f.HTML->DocumentTitle(), "Lumora");
    EXPECT_TRUE(f.HTML->PositionTo("#relay"));
}

} // namespace
