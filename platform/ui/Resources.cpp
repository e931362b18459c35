#include "platform/ui/Resources.h"

#include "platform/core/Exception.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace {
std::mutex& Lock()
{
    static std::mutex m;
    return m;
}
std::map<std::string, std::string_view>& Table()
{
    static std::map<std::string, std::string_view> t;
    return t;
}
} // namespace

void RegisterResource(const std::string& name, std::string_view data)
{
    std::lock_guard lock(Lock());
    Table()[name] = data;
}

std::string_view FindResourceData(const std::string& name)
{
    std::lock_guard lock(Lock());
    auto it = Table().find(name);
    if (it == Table().end())
        throw Exception(Format("Resource %s not found", name.c_str()));
    return it->second;
}

void WriteFileFromData(const std::string& fileName, std::string_view data)
{
    const int fd = ::open(fileName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        throw Exception(Format("Cannot create file \"%s\". %s", fileName.c_str(), std::strerror(errno)));
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            const int err = errno;
            ::close(fd);
            throw Exception(Format("Stream write error: %s", std::strerror(err)));
        }
        done += static_cast<size_t>(n);
    }
    ::close(fd);
}

void SaveResourceToFile(const std::string& resourceName, const std::string& fileName)
{
    const std::string_view data = FindResourceData(resourceName);
    WriteFileFromData(fileName, data);
}

bool FileExists(const std::string& fileName)
{
    struct stat st {};
    return ::stat(fileName.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

void DeleteFileQuietly(const std::string& fileName)
{
    ::unlink(fileName.c_str());
}
