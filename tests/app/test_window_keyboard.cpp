// The window without a mouse: Tab visits every enabled control of the shown
// page, the tree and the buttons; the tree's keys show pages; the help link
// opens with Enter.
#include "tests/app/AppFixture.h"

#include "htmlview/HtmlView.h"
#include "platform/ui/Dialogs.h"

#include <QKeyEvent>
#include <QPushButton>
#include <QTabWidget>
#include <QTreeWidget>

#include <vector>

namespace {

class WindowKeyboard : public AppFixture {
protected:
    TForm1& OpenFocused()
    {
        TForm1& f = Open();
        QApplication::setActiveWindow(&f);
        f.activateWindow();
        QApplication::processEvents();
        return f;
    }
    // Presses a key on whatever has the focus; answers the focused control after it.
    std::string Press(int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
    {
        QWidget* target = QApplication::focusWidget() ? QApplication::focusWidget() : m_form.get();
        QKeyEvent press(QEvent::KeyPress, key, modifiers);
        QKeyEvent release(QEvent::KeyRelease, key, modifiers);
        QApplication::sendEvent(target, &press);
        QApplication::sendEvent(target, &release);
        QApplication::processEvents();
        QWidget* now = QApplication::focusWidget();
        return now ? now->objectName().toStdString() : "(none)";
    }
};

TEST_F(WindowKeyboard, TabVisitsTheTreeTheShownPageAndTheButtons)
{
    TForm1& f = OpenFocused();
    f.btnStart->setFocus();
    // Crossbar, Configure and Stop are disabled at start-up and skipped.
    const char* const forward[] = {"TreeView1", "cbSource", "btnPreview", "cbAutoStart", "cbAudio", "cbMute", "btnStart",
                                   "TreeView1"};
    for (size_t i = 0; i < std::size(forward); ++i)
        EXPECT_EQ(Press(Qt::Key_Tab), forward[i]) << "after Tab press " << i + 1;
    EXPECT_EQ(Press(Qt::Key_Backtab, Qt::ShiftModifier), "btnStart");

    // On another page, Tab goes through that page's controls in reading order.
    f.PageControl1->setCurrentWidget(f.TabSheet3);
    f.TreeView1->setFocus();
    const char* const website[] = {"cbFTP", "edRemoteHost", "edUsername", "edPassword", "cbSecurity",
                                   "edTemplate", "btnBrowse", "edLocal", "Button1", "edFile", "cbSnapshot", "edSnapshot",
                                   "edSnapshotSeconds", "btnStart"};
    for (size_t i = 0; i < std::size(website); ++i)
        EXPECT_EQ(Press(Qt::Key_Tab), website[i]) << "Website page, after Tab press " << i + 1;
}

TEST_F(WindowKeyboard, EveryPageIsReachedWithTheKeyboardAlone)
{
    TForm1& f = OpenFocused();
    f.TreeView1->setFocus();
    struct Step {
        int key;
        QWidget* page;
    };
    const Step steps[] = {
        {Qt::Key_Down, f.TabSheet2}, {Qt::Key_Down, f.TabSheet3}, {Qt::Key_Down, f.TabSheet4},
        {Qt::Key_Up, f.TabSheet3},   {Qt::Key_Home, f.TabSheet1}, {Qt::Key_End, f.TabSheet4},
    };
    // The first arrow only makes the first node current when none is.
    if (!f.TreeView1->currentItem())
        Press(Qt::Key_Down);
    f.TreeView1->setCurrentItem(f.TreeView1->topLevelItem(0));
    for (const Step& s : steps) {
        Press(s.key);
        EXPECT_EQ(f.PageControl1->currentWidget(), s.page)
            << "after key " << s.key << " on node " << f.TreeView1->currentItem()->text(0).toStdString();
    }

    // Enter and Space on the current node show its page too (after the page
    // was changed some other way).
    for (int key : {Qt::Key_Return, Qt::Key_Space}) {
        f.PageControl1->setCurrentWidget(f.TabSheet1);
        f.TreeView1->setFocus();
        Press(key);
        EXPECT_EQ(f.PageControl1->currentWidget(), f.TabSheet4) << "key " << key;
    }
}

TEST_F(WindowKeyboard, HelpLinkTakesTheFocusAndOpensWithEnter)
{
    TForm1& f = OpenFocused();
    f.PageControl1->setCurrentWidget(f.TabSheet4);
    f.TreeView1->setFocus();
    std::string focused;
    for (int i = 0; i < 4 && focused != "Label16"; ++i)
        focused = Press(Qt::Key_Tab);
    EXPECT_EQ(focused, "Label16") << "the link is in the Tab order";
    Press(Qt::Key_Return);
    EXPECT_EQ(f.HTML->CurrentFile(), TForm1::ManualFile()) << "the manual is shown in the help viewer";
    EXPECT_TRUE(m_errors.empty()) << m_errors.front();
}

} // namespace
