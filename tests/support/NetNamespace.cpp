#include "tests/support/NetNamespace.h"

#include "tests/support/TestSupport.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>

namespace testsupport {

NetNamespace::NetNamespace(const std::vector<std::string>& addresses)
{
    static std::atomic<int> counter{0};
    m_name = "lumora-t" + std::to_string(::getpid()) + "-" + std::to_string(++counter);
    if (::geteuid() != 0) {
        m_reason = "network namespaces need root";
        m_name.clear();
        return;
    }
    int status = -1;
    std::string out = RunCommand("ip netns add " + m_name + " 2>&1", &status);
    if (status != 0) {
        m_reason = "ip netns add failed: " + out;
        m_name.clear();
        return;
    }
    std::string script = "set -e; ip -n " + m_name + " link set lo up; ";
    for (const std::string& a : addresses)
        script += "ip -n " + m_name + " addr add " + a + " dev lo nodad; ";
    script += "true";
    out = RunCommand("sh -c '" + script + "' 2>&1", &status);
    if (status != 0) {
        m_reason = "the namespace's interfaces could not be set up: " + out;
        return;
    }
    m_ready = true;
}

NetNamespace::~NetNamespace()
{
    Leave();
    if (!m_name.empty())
        RunCommand("ip netns del " + m_name + " 2>&1");
}

bool NetNamespace::Enter()
{
    if (!m_ready)
        return false;
    const int target = ::open(("/var/run/netns/" + m_name).c_str(), O_RDONLY | O_CLOEXEC);
    if (target < 0)
        return false;
    if (m_home < 0)
        m_home = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    const bool entered = m_home >= 0 && ::setns(target, CLONE_NEWNET) == 0;
    ::close(target);
    return entered;
}

void NetNamespace::Leave()
{
    if (m_home < 0)
        return;
    ::setns(m_home, CLONE_NEWNET);
    ::close(m_home);
    m_home = -1;
}

} // namespace testsupport
