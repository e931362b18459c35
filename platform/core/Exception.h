#pragma once
// The root of every exception the program raises. The message text is what
// the application's default handler shows in its message box.

#include <cstdarg>
#include <exception>
#include <string>

class Exception : public std::exception {
public:
    explicit Exception(std::string message) : m_message(std::move(message)) {}

    const std::string& Message() const noexcept { return m_message; }
    void SetMessage(std::string message) { m_message = std::move(message); }
    const char* what() const noexcept override { return m_message.c_str(); }

private:
    std::string m_message;
};

// printf-style formatting into a std::string, for the program's fixed message
// formats ("Socket Error # %d", "Unable to write to %s", ...).
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string FormatV(const char* format, va_list args);

// A file that cannot be created, opened, read or written; ErrorCode is the
// system's error number when one is known (0 otherwise).
class EInOutError : public Exception {
public:
    explicit EInOutError(std::string message, int errorCode = 0)
        : Exception(std::move(message)), ErrorCode(errorCode)
    {
    }
    int ErrorCode;
};

// An index outside a list: the text lists raise for a bad index.
class EListError : public Exception {
public:
    using Exception::Exception;
};
[[noreturn]] void RaiseListIndexError(long index);
