#pragma once
// Byte streams used by the internet layer: the source of an upload, the
// target of a download, and the connection's own buffers. Positions and sizes
// are 64-bit byte counts.

#include "platform/core/Exception.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

enum TNetSeekOrigin { soBeginning, soCurrent, soEnd };

// A file that cannot be opened ("Cannot open file "%s". %s").
class EFOpenError : public Exception {
public:
    using Exception::Exception;
};
// A stream that cannot be read or written as asked.
class EStreamError : public Exception {
public:
    using Exception::Exception;
};

class TNetStream {
public:
    virtual ~TNetStream() = default;

    // Read answers the bytes actually read (0 at the end); Write answers the
    // bytes written.
    virtual int64_t Read(void* buffer, int64_t count) = 0;
    virtual int64_t Write(const void* buffer, int64_t count) = 0;
    virtual int64_t Seek(int64_t offset, TNetSeekOrigin origin) = 0;
    virtual int64_t Size();
    virtual void SetSize(int64_t size) = 0;

    int64_t Position() { return Seek(0, soCurrent); }
    void SetPosition(int64_t position) { Seek(position, soBeginning); }
    // Write all bytes or raise EStreamError.
    void WriteBuffer(const void* buffer, int64_t count);
};

// A stream held in memory. Memory() points at the first byte; it is valid
// until the next call that changes the size.
class TNetMemoryStream : public TNetStream {
public:
    TNetMemoryStream() = default;
    explicit TNetMemoryStream(const std::string& bytes);

    int64_t Read(void* buffer, int64_t count) override;
    int64_t Write(const void* buffer, int64_t count) override;
    int64_t Seek(int64_t offset, TNetSeekOrigin origin) override;
    int64_t Size() override { return static_cast<int64_t>(m_data.size()); }
    void SetSize(int64_t size) override;

    char* Memory() { return m_data.data(); }
    const char* Memory() const { return m_data.data(); }
    void Clear();
    std::string DataString() const { return std::string(m_data.begin(), m_data.end()); }

protected:
    std::vector<char> m_data;
    int64_t m_position = 0;
};

enum TNetFileMode {
    fmOpenRead,      // read only (other processes keep full access)
    fmCreate,        // create or truncate, read and write
    fmOpenReadWrite, // an existing file, read and write
};

// A stream over a file. Opening failure raises EFOpenError.
class TNetFileStream : public TNetStream {
public:
    TNetFileStream(const std::string& fileName, TNetFileMode mode);
    ~TNetFileStream() override;
    TNetFileStream(const TNetFileStream&) = delete;
    TNetFileStream& operator=(const TNetFileStream&) = delete;

    int64_t Read(void* buffer, int64_t count) override;
    int64_t Write(const void* buffer, int64_t count) override;
    int64_t Seek(int64_t offset, TNetSeekOrigin origin) override;
    void SetSize(int64_t size) override;
    const std::string& FileName() const { return m_fileName; }

private:
    int m_fd = -1;
    std::string m_fileName;
};
