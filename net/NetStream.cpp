#include "net/NetStream.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int64_t TNetStream::Size()
{
    const int64_t here = Seek(0, soCurrent);
    const int64_t end = Seek(0, soEnd);
    Seek(here, soBeginning);
    return end;
}

void TNetStream::WriteBuffer(const void* buffer, int64_t count)
{
    if (count > 0 && Write(buffer, count) != count)
        throw EStreamError("Stream write error");
}

TNetMemoryStream::TNetMemoryStream(const std::string& bytes) : m_data(bytes.begin(), bytes.end()) {}

int64_t TNetMemoryStream::Read(void* buffer, int64_t count)
{
    const int64_t size = Size();
    if (count <= 0 || m_position >= size)
        return 0;
    const int64_t n = std::min(count, size - m_position);
    std::memcpy(buffer, m_data.data() + m_position, static_cast<size_t>(n));
    m_position += n;
    return n;
}

int64_t TNetMemoryStream::Write(const void* buffer, int64_t count)
{
    if (count <= 0)
        return 0;
    const int64_t end = m_position + count;
    if (end > Size())
        m_data.resize(static_cast<size_t>(end));
    std::memcpy(m_data.data() + m_position, buffer, static_cast<size_t>(count));
    m_position = end;
    return count;
}

int64_t TNetMemoryStream::Seek(int64_t offset, TNetSeekOrigin origin)
{
    int64_t base = 0;
    if (origin == soCurrent)
        base = m_position;
    else if (origin == soEnd)
        base = Size();
    m_position = std::max<int64_t>(0, base + offset);
    return m_position;
}

void TNetMemoryStream::SetSize(int64_t size)
{
    m_data.resize(static_cast<size_t>(std::max<int64_t>(0, size)));
    if (m_position > size)
        m_position = std::max<int64_t>(0, size);
}

void TNetMemoryStream::Clear()
{
    m_data.clear();
    m_data.shrink_to_fit();
    m_position = 0;
}

TNetFileStream::TNetFileStream(const std::string& fileName, TNetFileMode mode) : m_fileName(fileName)
{
    int flags = O_CLOEXEC;
    switch (mode) {
    case fmOpenRead: flags |= O_RDONLY; break;
    case fmCreate: flags |= O_RDWR | O_CREAT | O_TRUNC; break;
    case fmOpenReadWrite: flags |= O_RDWR; break;
    }
    m_fd = ::open(fileName.c_str(), flags, 0644);
    if (m_fd < 0)
        throw EFOpenError(Format("Cannot open file \"%s\". %s", fileName.c_str(), std::strerror(errno)));
    struct stat st {};
    if (::fstat(m_fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(m_fd);
        m_fd = -1;
        throw EFOpenError(Format("Cannot open file \"%s\". %s", fileName.c_str(), std::strerror(EISDIR)));
    }
}

TNetFileStream::~TNetFileStream()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

int64_t TNetFileStream::Read(void* buffer, int64_t count)
{
    int64_t done = 0;
    while (done < count) {
        const ssize_t n = ::read(m_fd, static_cast<char*>(buffer) + done, static_cast<size_t>(count - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += n;
    }
    return done;
}

int64_t TNetFileStream::Write(const void* buffer, int64_t count)
{
    int64_t done = 0;
    while (done < count) {
        const ssize_t n = ::write(m_fd, static_cast<const char*>(buffer) + done, static_cast<size_t>(count - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += n;
    }
    return done;
}

int64_t TNetFileStream::Seek(int64_t offset, TNetSeekOrigin origin)
{
    const int whence = origin == soBeginning ? SEEK_SET : origin == soCurrent ? SEEK_CUR : SEEK_END;
    return ::lseek(m_fd, offset, whence);
}

void TNetFileStream::SetSize(int64_t size)
{
    if (::ftruncate(m_fd, size) != 0)
        throw EStreamError(Format("Stream write error (%s)", std::strerror(errno)));
}
