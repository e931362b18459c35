#include "platform/ui/Application.h"

#include "platform/core/Exception.h"
#include "platform/ui/Dialogs.h"

#include <cstdlib>
#include <unistd.h>
#include <vector>

Application& Application::Instance()
{
    static Application app;
    return app;
}

std::string Application::ExeName() const
{
    if (!m_exeName.empty())
        return m_exeName;
    std::vector<char> buf(4096);
    const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size() - 1);
    return n > 0 ? std::string(buf.data(), static_cast<size_t>(n)) : std::string();
}

void Application::HandleException(const std::exception& e)
{
    const std::string text = e.what();
    if (m_handler) {
        m_handler(text);
        return;
    }
    ShowMessage(text);
}

void RunGuarded(const std::function<void()>& handler)
{
    try {
        handler();
    } catch (const std::exception& e) {
        Application::Instance().HandleException(e);
    } catch (...) {
        Application::Instance().HandleException(Exception("Unknown error"));
    }
}

bool SelectOffscreenWhenHeadless()
{
    const auto unset = [](const char* name) {
        const char* v = std::getenv(name);
        return !v || !*v;
    };
    if (unset("QT_QPA_PLATFORM") && unset("DISPLAY") && unset("WAYLAND_DISPLAY")) {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        return true;
    }
    const char* p = std::getenv("QT_QPA_PLATFORM");
    return p && std::string(p) == "offscreen";
}
