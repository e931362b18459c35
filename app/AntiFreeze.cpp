#include "app/AntiFreeze.h"

#include "net/NetStack.h"
#include "platform/core/Exception.h"

#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>

namespace {
// Input a user gives the program with mouse, keyboard, touch or pen.
bool IsUserInput(QEvent::Type type)
{
    switch (type) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove:
    case QEvent::NonClientAreaMouseButtonPress:
    case QEvent::NonClientAreaMouseButtonRelease:
    case QEvent::NonClientAreaMouseButtonDblClick:
    case QEvent::Wheel:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
    case QEvent::Shortcut:
    case QEvent::ContextMenu:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
    case QEvent::TouchCancel:
    case QEvent::TabletPress:
    case QEvent::TabletMove:
    case QEvent::TabletRelease:
    case QEvent::DragEnter:
    case QEvent::DragMove:
    case QEvent::Drop:
        return true;
    default:
        return false;
    }
}
} // namespace

TWindowAntiFreeze::TWindowAntiFreeze()
{
    // Short steps keep the window repainting smoothly during a wait.
    IdleTimeOut = 100;
    OnlyWhenIdle = true;
    if (QCoreApplication* app = QCoreApplication::instance())
        app->installEventFilter(&m_inputFilter);
}

TWindowAntiFreeze::~TWindowAntiFreeze()
{
    if (QCoreApplication* app = QCoreApplication::instance())
        app->removeEventFilter(&m_inputFilter);
}

bool TWindowAntiFreeze::TInputFilter::eventFilter(QObject*, QEvent* event)
{
    // Dropped, not deferred: a click given while the window waited must not
    // run a handler once the wait is over.
    return m_owner.m_busy && IsUserInput(event->type());
}

void TWindowAntiFreeze::PumpMessages()
{
    if (!m_busy)
        return;
    // Every window-system event is handled, the close request among them
    // (the X11 platform counts that as user input, so excluding user input
    // would hold a close until the request's limit). Mouse and keyboard
    // input is dropped by the filter instead, and timer ticks wait, so no
    // handler of the window runs inside another.
    QCoreApplication::processEvents(QEventLoop::X11ExcludeTimers);
    if (m_abandoned)
        throw ENetException("The request was abandoned: the program is closing.");
    if (std::chrono::steady_clock::now() >= m_deadline)
        throw ENetException(Format("No answer from %s within %d seconds.", m_peer.c_str(), m_limitMs / 1000));
}

TWindowAntiFreeze::TRequest::TRequest(TWindowAntiFreeze& owner, int limitMs, std::string peer)
    : m_owner(owner), m_outerBusy(owner.m_busy), m_outerLimitMs(owner.m_limitMs), m_outerPeer(owner.m_peer),
      m_outerDeadline(owner.m_deadline)
{
    m_owner.m_busy = true;
    m_owner.m_limitMs = limitMs;
    m_owner.m_peer = std::move(peer);
    m_owner.m_deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
}

TWindowAntiFreeze::TRequest::~TRequest()
{
    m_owner.m_busy = m_outerBusy;
    m_owner.m_limitMs = m_outerLimitMs;
    m_owner.m_peer = std::move(m_outerPeer);
    m_owner.m_deadline = m_outerDeadline;
}
