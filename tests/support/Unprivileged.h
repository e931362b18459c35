#pragma once
// Checks of unwritable files and folders mean nothing to the superuser, whom
// permissions do not bind, and CI runs the tests as root. While an
// Unprivileged object lives, a process that runs as root acts as the user
// "nobody" (real and effective ids, no supplementary groups; the saved
// user id stays root, so the destructor can return to it); a process that is not root is left as it is. The files the
// test made are handed to that user first, so it meets them as their owner.
//
// It changes the ids of the whole process: every thread of the test program
// acts as that user meanwhile.

#include <filesystem>
#include <string>
#include <sys/types.h>
#include <vector>

namespace testsupport {

class Unprivileged {
public:
    // `owned`: folders (with their contents) the user is to own.
    explicit Unprivileged(const std::vector<std::filesystem::path>& owned = {});
    ~Unprivileged();
    Unprivileged(const Unprivileged&) = delete;
    Unprivileged& operator=(const Unprivileged&) = delete;

    // Empty when permissions now bind the process; otherwise why they do not.
    const std::string& Error() const { return m_error; }

private:
    bool m_switched = false;
    std::vector<gid_t> m_groups;
    std::string m_error;
};

} // namespace testsupport
