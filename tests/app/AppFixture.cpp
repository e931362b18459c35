#include "tests/app/AppFixture.h"

#include "platform/ui/Application.h"
#include "platform/ui/Dialogs.h"

#include <QApplication>
#include <QDir>
#include <QPixmap>

#include <filesystem>
#include <unistd.h>

void AppFixture::SetUp()
{
    m_oldCwd = std::filesystem::current_path().string();
    std::filesystem::current_path(m_dir.path());
    Application::Instance().SetExeName(m_dir.file("lumora"));
    Application::Instance().SetExceptionHandler([this](const std::string& text) { m_errors.push_back(text); });
    SetMessageHandler([this](const TMessageRequest& r) {
        m_messages.push_back(r.Text);
        return r.DefaultResult;
    });
}

void AppFixture::TearDown()
{
    m_form.reset();
    SetMessageHandler(nullptr);
    Application::Instance().SetExceptionHandler(nullptr);
    Application::Instance().SetExeName("");
    std::filesystem::current_path(m_oldCwd);
}

TForm1& AppFixture::Open(TStartOptions options)
{
    m_form = std::make_unique<TForm1>(std::move(options));
    m_form->show();
    QApplication::processEvents();
    return *m_form;
}

bool AppFixture::Close()
{
    const bool closed = m_form->close();
    QApplication::processEvents();
    return closed;
}

std::string AppFixture::SettingsText() const
{
    return testsupport::ReadFileText(m_form ? m_form->Files.SettingsFile : m_dir.file("lumora.ini"));
}

void AppFixture::SaveScreenshot(const std::string& name)
{
    SaveScreenshot(name, *m_form);
}

void AppFixture::SaveScreenshot(const std::string& name, QWidget& widget)
{
    const std::string folder = testsupport::BuildDir() + "/screenshots";
    QDir().mkpath(QString::fromStdString(folder));
    widget.grab().save(QString::fromStdString(folder + "/" + name));
}
