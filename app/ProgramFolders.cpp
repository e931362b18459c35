#include "app/ProgramFolders.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// The installation prefix of an installed program ("/usr" for /usr/bin/lumora),
// or an empty path for a program run from anywhere else.
fs::path InstallationPrefix(const std::string& exePath)
{
    std::error_code ec;
    fs::path exe = fs::weakly_canonical(fs::path(exePath), ec);
    if (ec)
        exe = exePath;
    const fs::path bin = exe.parent_path();
    if (bin.filename() != "bin")
        return {};
    const fs::path prefix = bin.parent_path();
    if (!fs::exists(prefix / "share" / "applications" / "org.lumora.Lumora.desktop", ec))
        return {};
    return prefix;
}

bool IsWithin(const fs::path& path, const fs::path& folder)
{
    auto p = path.begin();
    for (auto f = folder.begin(); f != folder.end(); ++f, ++p) {
        if (f->empty())
            continue; // a trailing separator
        if (p == path.end() || *p != *f)
            return false;
    }
    return true;
}

} // namespace

bool IsInstalledProgram(const std::string& exePath)
{
    return !InstallationPrefix(exePath).empty();
}

std::string UserDataFolder()
{
    fs::path data;
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg && fs::path(xdg).is_absolute())
        data = xdg;
    else if (const char* home = std::getenv("HOME"); home && *home)
        data = fs::path(home) / ".local" / "share";
    else
        return {};
    const fs::path dir = data / "lumora";
    std::error_code ec;
    fs::create_directories(dir, ec);
    return dir.string();
}

std::string WritableDataFolder(const std::string& workingDir, const std::string& exePath)
{
    std::error_code ec;
    fs::path cwd = fs::weakly_canonical(fs::path(workingDir), ec);
    if (ec)
        cwd = workingDir;
    bool usable = cwd != cwd.root_path() && ::access(cwd.c_str(), W_OK) == 0;
    if (usable) {
        // Root may write anywhere, so writability alone does not keep the
        // installation clean.
        const fs::path prefix = InstallationPrefix(exePath);
        if (!prefix.empty() && prefix != prefix.root_path() && IsWithin(cwd, prefix))
            usable = false;
    }
    if (usable)
        return workingDir;
    const std::string data = UserDataFolder();
    return data.empty() ? workingDir : data;
}

std::string EnterWritableDataFolder(const std::string& exePath, std::string& settingsFile)
{
    std::error_code ec;
    const fs::path cwd = fs::current_path(ec);
    if (ec)
        return {};
    const std::string folder = WritableDataFolder(cwd.string(), exePath);
    if (folder == cwd.string())
        return {};
    if (!settingsFile.empty() && fs::path(settingsFile).is_relative())
        settingsFile = (cwd / settingsFile).lexically_normal().string();
    if (::chdir(folder.c_str()) != 0)
        return {};
    return folder;
}
