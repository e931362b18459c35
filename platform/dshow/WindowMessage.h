#pragma once
// A window message posted to a QObject: how platform objects (the filter
// graph's event queue) reach the user-interface thread. The receiver
// overrides QObject::event and looks for WindowMessageEvent::Type().

#include <QCoreApplication>
#include <QEvent>

#include <cstdint>

inline constexpr long WM_APP = 0x8000;

class WindowMessageEvent : public QEvent {
public:
    WindowMessageEvent(long message, intptr_t wParam, intptr_t lParam)
        : QEvent(Type()), m_message(message), m_wParam(wParam), m_lParam(lParam)
    {
    }
    static QEvent::Type Type()
    {
        static const QEvent::Type type = static_cast<QEvent::Type>(QEvent::registerEventType());
        return type;
    }
    long Message() const { return m_message; }
    intptr_t WParam() const { return m_wParam; }
    intptr_t LParam() const { return m_lParam; }

private:
    long m_message;
    intptr_t m_wParam;
    intptr_t m_lParam;
};

// Posts the message to the object's thread (callable from any thread).
inline void PostWindowMessage(QObject* window, long message, intptr_t wParam, intptr_t lParam)
{
    if (window)
        QCoreApplication::postEvent(window, new WindowMessageEvent(message, wParam, lParam));
}
