#pragma once
// Text files read line by line and written with CR LF line ends, raising the
// platform's file errors ("File not found", "File access denied",
// "I/O error %d") as EInOutError.

#include "platform/core/Exception.h"

#include <cstdio>
#include <string>

[[noreturn]] void RaiseInOutError(int err);

// Creates (or truncates) a file for writing text.
class TTextFileWriter {
public:
    explicit TTextFileWriter(const std::string& fileName);
    ~TTextFileWriter();
    TTextFileWriter(const TTextFileWriter&) = delete;
    TTextFileWriter& operator=(const TTextFileWriter&) = delete;

    void WriteLine(const std::string& line); // the line, then CR LF
    void Close();                            // raises on a failed flush

private:
    FILE* m_file = nullptr;
};

// Opens a file for reading text; lines end at LF, CR LF or CR.
class TTextFileReader {
public:
    explicit TTextFileReader(const std::string& fileName);
    ~TTextFileReader();
    TTextFileReader(const TTextFileReader&) = delete;
    TTextFileReader& operator=(const TTextFileReader&) = delete;

    // The next line without its end; false at the end of the file.
    bool ReadLine(std::string& line);

private:
    FILE* m_file = nullptr;
};
