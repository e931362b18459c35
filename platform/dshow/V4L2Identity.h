#pragma once
// What identifies a V4L2 camera across unplugging: its card name and bus
// info. The node number is not stable (a camera that comes back while its old
// node is still held open gets the next free number).

#include <string>

struct V4L2Identity {
    std::string card;
    std::string bus;
    bool operator==(const V4L2Identity&) const = default;
};

// Reads the identity of a capture node; false when it cannot be opened or
// cannot capture video.
bool QueryV4L2Identity(const std::string& path, V4L2Identity& identity);

// The first /dev/videoN (by number) that carries `identity`, or "" when none.
std::string FindV4L2Node(const V4L2Identity& identity);
