#pragma once
// The application object: the program's path, the default exception handler,
// and the glue that keeps exceptions from crossing the Qt event loop.

#include <exception>
#include <functional>
#include <string>
#include <type_traits>

class QWidget;

class Application {
public:
    static Application& Instance();

    // Full path of the running program (/proc/self/exe); tests may replace it.
    std::string ExeName() const;
    void SetExeName(std::string path) { m_exeName = std::move(path); }

    // The default handler: shows the error's text in a message box.
    void HandleException(const std::exception& e);
    // Replaces what HandleException does (tests record the text instead).
    void SetExceptionHandler(std::function<void(const std::string&)> handler) { m_handler = std::move(handler); }

    QWidget* MainForm() const { return m_mainForm; }
    void SetMainForm(QWidget* form) { m_mainForm = form; }

private:
    std::string m_exeName;
    std::function<void(const std::string&)> m_handler;
    QWidget* m_mainForm = nullptr;
};

// Runs an event handler; an exception it raises goes to the application's
// default handler and the rest of the handler is abandoned.
void RunGuarded(const std::function<void()>& handler);

namespace ui_detail {
// Calls f without the arguments (a call that depends on them, so a compiler
// never checks it for a handler that takes them).
template <class F, class... Args>
void CallWithoutArguments(const F& f, Args&&...)
{
    f();
}
} // namespace ui_detail

// Wraps a handler for connecting to a Qt signal.
template <class F>
auto Guarded(F f)
{
    // Signals may carry more arguments than the handler takes (Qt's private
    // signal tag, for one); those are dropped. The constraint lets Qt probe
    // which argument counts the wrapper accepts without instantiating it.
    return [f = std::move(f)](auto&&... args) -> void
        requires(std::is_invocable_v<const F&, decltype(args)...> || std::is_invocable_v<const F&>)
    {
        if constexpr (std::is_invocable_v<const F&, decltype(args)...>)
            RunGuarded([&] { f(std::forward<decltype(args)>(args)...); });
        else
            RunGuarded([&] { ui_detail::CallWithoutArguments(f, args...); });
    };
}

// Without a display (DISPLAY and WAYLAND_DISPLAY unset and no platform chosen)
// selects Qt's offscreen platform; call before creating the QApplication.
// Returns true when offscreen was chosen.
bool SelectOffscreenWhenHeadless();
