#include "tests/support/Unprivileged.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

namespace testsupport {

namespace {

// Back to root; the saved user id is still root, so this is allowed.
void BackToRoot(const std::vector<gid_t>& groups)
{
    const bool back = ::setresuid(0, 0, 0) == 0 && ::setresgid(0, 0, 0) == 0 &&
                      ::setgroups(groups.size(), groups.data()) == 0;
    if (!back)
        std::abort(); // the rest of the run would not be what it claims
}

void OwnAll(const std::filesystem::path& top, uid_t uid, gid_t gid)
{
    std::error_code ec;
    if (::lchown(top.c_str(), uid, gid) != 0)
        return;
    for (auto it = std::filesystem::recursive_directory_iterator(top, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
        if (::lchown(it->path().c_str(), uid, gid) != 0)
            continue; // the test then fails on that file, saying which
}

} // namespace

Unprivileged::Unprivileged(const std::vector<std::filesystem::path>& owned)
{
    if (::geteuid() != 0)
        return;
    const passwd* user = ::getpwnam("nobody");
    if (!user || user->pw_uid == 0) {
        m_error = "running as root and there is no user \"nobody\" to run as";
        return;
    }
    const uid_t uid = user->pw_uid;
    const gid_t gid = user->pw_gid;
    for (const auto& path : owned)
        OwnAll(path, uid, gid);
    const int count = ::getgroups(0, nullptr);
    m_groups.resize(count > 0 ? static_cast<size_t>(count) : 0);
    if (count > 0 && ::getgroups(count, m_groups.data()) != count)
        m_groups.clear();
    // Groups first: only root may change them. The real ids change too, as
    // access() checks those; the saved user id stays root for the way back.
    if (::setgroups(0, nullptr) != 0 || ::setresgid(gid, gid, 0) != 0 || ::setresuid(uid, uid, 0) != 0) {
        m_error = std::string("cannot act as nobody: ") + std::strerror(errno);
        BackToRoot(m_groups);
        return;
    }
    m_switched = true;
}

Unprivileged::~Unprivileged()
{
    if (!m_switched)
        return;
    BackToRoot(m_groups);
}

} // namespace testsupport
