#pragma once
// What libavformat says on the relay's thread while the RTMP session is
// set up. Its result codes do not tell the server's refusal of the connect
// or the publish (EIO, EPERM) from a connection that broke, so the relay
// listens to the library's log lines during the connect and keeps the
// server's own error text.

#include <string>
#include <string_view>

struct ConnectLog {
    std::string serverError; // the server's own error text, if it sent one

    // Takes one log line.
    void Note(std::string_view line);
};
