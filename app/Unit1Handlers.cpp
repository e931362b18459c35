// Wiring of the window's events to its handlers. Every handler runs guarded:
// an exception goes to the application's default handler.
#include "app/Unit1.h"

#include "platform/ui/Application.h"

#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>
#include <QTreeWidget>

namespace {
// Forwards selected events of one widget to a callback.
class EventHook : public QObject {
public:
    EventHook(QObject* target, std::function<void(QEvent::Type)> callback)
        : QObject(target), m_callback(std::move(callback))
    {
        target->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        switch (event->type()) {
        case QEvent::MouseButtonRelease:
        case QEvent::MouseMove:
        case QEvent::Leave:
            m_callback(event->type());
            break;
        default:
            break;
        }
        return false;
    }

private:
    std::function<void(QEvent::Type)> m_callback;
};
} // namespace

void TForm1::ConnectHandlers()
{
    connect(cbSource, &QComboBox::activated, this, Guarded([this](int) { cbSourceChange(); }));
    connect(btnPreview, &QPushButton::clicked, this, Guarded([this](bool) { btnPreviewClick(); }));
    connect(btnCrossbar, &QPushButton::clicked, this, Guarded([this](bool) { btnCrossbarClick(); }));
    connect(btnConfigure, &QPushButton::clicked, this, Guarded([this](bool) { btnConfigureClick(); }));
    connect(cbProfiles, &QComboBox::activated, this, Guarded([this](int) { cbProfilesClick(); }));
    connect(btnStart, &QPushButton::clicked, this, Guarded([this](bool) { btnStartClick(); }));
    connect(btnStop, &QPushButton::clicked, this, Guarded([this](bool) { btnStopClick(); }));

    // A click anywhere in the tree, on a node or on its empty area.
    new EventHook(TreeView1->viewport(), [this](QEvent::Type t) {
        if (t == QEvent::MouseButtonRelease)
            RunGuarded([this] { TreeView1Click(); });
    });
    connect(PageControl1, &QTabWidget::currentChanged, this, Guarded([this](int index) {
                if (PageControl1->widget(index) == TabSheet3)
                    TabSheet3Show();
            }));
    for (QLineEdit* e : {edTemplate, edFile, edUsername, edPassword, edRemoteHost})
        connect(e, &QLineEdit::textChanged, this, Guarded([this](const QString&) { TabSheet3Show(); }));
    connect(btnBrowse, &QPushButton::clicked, this, Guarded([this](bool) { btnBrowseClick(); }));
    connect(Button1, &QPushButton::clicked, this, Guarded([this](bool) { Button1Click(); }));
    connect(btnUpload, &QPushButton::clicked, this, Guarded([this](bool) { btnUploadClick(); }));

    connect(tmrStartButtonUpload, &QTimer::timeout, this, Guarded([this] { tmrStartButtonUploadTimer(); }));
    connect(tmrMain, &QTimer::timeout, this, Guarded([this] { tmrMainTimer(); }));
    connect(tmrManualUpload, &QTimer::timeout, this, Guarded([this] { tmrManualUploadTimer(); }));
    connect(tmrMessage, &QTimer::timeout, this, Guarded([this] { tmrMessageTimer(); }));

    new EventHook(Label16, [this](QEvent::Type t) {
        RunGuarded([&] {
            if (t == QEvent::MouseMove)
                Label16MouseMove();
            else if (t == QEvent::Leave)
                Label16MouseLeave();
            else
                Label16Click();
        });
    });
}
