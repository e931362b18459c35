// The window without a mouse: every control of the shown page and the tree
// in the Tab order, the tree's keys showing pages, the help link opened with
// Enter.
#include "app/Unit1.h"

#include "media/MediaKit.h"
#include "platform/ui/Application.h"

#include <QKeyEvent>
#include <QLabel>
#include <QTabBar>
#include <QTabWidget>
#include <QTreeWidget>

namespace {
// Runs a callback for Enter, Return and Space pressed on one widget.
class ActivationKeys : public QObject {
public:
    ActivationKeys(QWidget* target, std::function<void()> callback) : QObject(target), m_callback(std::move(callback))
    {
        target->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() != QEvent::KeyPress)
            return false;
        switch (static_cast<QKeyEvent*>(event)->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
        case Qt::Key_Space:
            m_callback();
            return true;
        default:
            return false;
        }
    }

private:
    std::function<void()> m_callback;
};
} // namespace

void TForm1::SetUpKeyboard()
{
    // The pages' tab bar is hidden: neither it nor the page control may hold
    // the focus, or Tab stops on something no one sees.
    PageControl1->setFocusPolicy(Qt::NoFocus);
    PageControl1->tabBar()->setFocusPolicy(Qt::NoFocus);
    // The picture is nothing to type into.
    if (VideoWindow1)
        VideoWindow1->setFocusPolicy(Qt::NoFocus);

    // The tree shows the page of the node the keyboard selects, as a click does.
    connect(TreeView1, &QTreeWidget::currentItemChanged, this,
            Guarded([this](QTreeWidgetItem* now, QTreeWidgetItem*) {
                if (now)
                    TreeView1Click();
            }));
    new ActivationKeys(TreeView1, [this] { RunGuarded([this] { TreeView1Click(); }); });

    // The help link is reached by Tab, shows that it has the focus, and opens with Enter.
    Label16->setFocusPolicy(Qt::StrongFocus);
    Label16->setStyleSheet("QLabel { color: blue; text-decoration: underline; border: 1px solid transparent; }"
                           "QLabel:focus { border: 1px dotted palette(text); }");
    new ActivationKeys(Label16, [this] { RunGuarded([this] { Label16Click(); }); });

    ApplyTabOrder();
}
