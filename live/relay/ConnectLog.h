#pragma once
// What libavformat says on the relay's thread while a connection is made.
// Its result codes alone do not tell a refused publish (the server closes
// the session: EIO) from a host that cannot be found (EIO as well), so the
// relay listens to the library's log lines during the connect and keeps
// what they tell.

#include <string>
#include <string_view>

struct ConnectLog {
    bool tcpConnected = false;  // the TCP connection was made
    bool resolveFailed = false; // the host name could not be resolved
    std::string serverError;    // the server's own error text, if it sent one

    // Takes one log line.
    void Note(std::string_view line);
};
