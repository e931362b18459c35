#pragma once
// A main window started in a scratch folder as the program would start: the
// program's path inside the folder, the folder as working directory, message
// boxes and error boxes recorded instead of shown.

#include "app/Unit1.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <QApplication>

#include <chrono>
#include <memory>
#include <thread>
#include <string>
#include <vector>

class AppFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Creates the window (running its start-up).
    TForm1& Open(TStartOptions options = {});
    // Asks the window to close as its close button does; true when it closed.
    bool Close();
    std::string SettingsText() const;
    std::string Path(const std::string& name) const { return m_dir.file(name); }
    // Saves the window (or another widget) in the build's screenshot folder.
    void SaveScreenshot(const std::string& name);
    void SaveScreenshot(const std::string& name, QWidget& widget);

    testsupport::TempDir m_dir;
    std::unique_ptr<TForm1> m_form;
    std::vector<std::string> m_errors;   // texts of the default error handler
    std::vector<std::string> m_messages; // texts of message dialogs

private:
    std::string m_oldCwd;
};

// Keeps the event loop turning until `done` answers true or the time is up;
// false when the time ran out.
template <class Pred>
bool WaitFor(Pred done, std::chrono::milliseconds timeout)
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}
