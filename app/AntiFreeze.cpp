#include "app/AntiFreeze.h"

#include "net/NetStack.h"
#include "platform/core/Exception.h"

#include <QCoreApplication>
#include <QEventLoop>

TWindowAntiFreeze::TWindowAntiFreeze()
{
    // Short steps keep the window repainting smoothly during a wait.
    IdleTimeOut = 100;
    OnlyWhenIdle = true;
}

void TWindowAntiFreeze::PumpMessages()
{
    if (!m_busy)
        return;
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents | QEventLoop::X11ExcludeTimers);
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
