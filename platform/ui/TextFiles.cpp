#include "platform/ui/TextFiles.h"

#include <cerrno>

void RaiseInOutError(int err)
{
    switch (err) {
    case ENOENT:
    case ENOTDIR:
        throw EInOutError("File not found", err);
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
        throw EInOutError("File access denied", err);
    default:
        throw EInOutError(Format("I/O error %d", err), err);
    }
}

TTextFileWriter::TTextFileWriter(const std::string& fileName)
{
    m_file = std::fopen(fileName.c_str(), "wb");
    if (!m_file)
        RaiseInOutError(fileName.empty() ? ENOENT : errno);
}

TTextFileWriter::~TTextFileWriter()
{
    if (m_file)
        std::fclose(m_file);
}

void TTextFileWriter::WriteLine(const std::string& line)
{
    if (std::fwrite(line.data(), 1, line.size(), m_file) != line.size() || std::fwrite("\r\n", 1, 2, m_file) != 2)
        RaiseInOutError(errno ? errno : EIO);
}

void TTextFileWriter::Close()
{
    if (!m_file)
        return;
    FILE* f = m_file;
    m_file = nullptr;
    if (std::fclose(f) != 0)
        RaiseInOutError(errno ? errno : EIO);
}

TTextFileReader::TTextFileReader(const std::string& fileName)
{
    m_file = std::fopen(fileName.c_str(), "rb");
    if (!m_file)
        RaiseInOutError(fileName.empty() ? ENOENT : errno);
}

TTextFileReader::~TTextFileReader()
{
    if (m_file)
        std::fclose(m_file);
}

bool TTextFileReader::ReadLine(std::string& line)
{
    line.clear();
    int c = std::getc(m_file);
    if (c == EOF) {
        if (std::ferror(m_file))
            RaiseInOutError(errno ? errno : EIO);
        return false;
    }
    while (c != EOF && c != '\n' && c != '\r') {
        line.push_back(static_cast<char>(c));
        c = std::getc(m_file);
    }
    if (c == '\r') {
        const int next = std::getc(m_file);
        if (next != '\n' && next != EOF)
            std::ungetc(next, m_file);
    }
    if (c == EOF && std::ferror(m_file))
        RaiseInOutError(errno ? errno : EIO);
    return true;
}
