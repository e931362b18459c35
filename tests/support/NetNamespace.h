#pragma once
// A network namespace made for one test: its loopback interface up and
// holding the documentation addresses the test asks for, with their
// prefixes (no other interface, so no route leads out of it). The calling thread enters it with Enter and returns
// with Leave; threads it starts meanwhile are born inside it. Made with
// `ip netns` (root only): Available() is false, with the reason, where it
// cannot be made.

#include <string>
#include <vector>

namespace testsupport {

class NetNamespace {
public:
    // `addresses`: "2001:db8:1:2::1/64" and the like, put on lo without
    // duplicate address detection so they can be used at once.
    explicit NetNamespace(const std::vector<std::string>& addresses);
    ~NetNamespace();
    NetNamespace(const NetNamespace&) = delete;
    NetNamespace& operator=(const NetNamespace&) = delete;

    bool Available() const { return m_ready; }
    const std::string& Reason() const { return m_reason; }
    const std::string& Name() const { return m_name; }
    // Moves the calling thread into the namespace (true on success).
    bool Enter();
    // Back to the namespace the thread had before Enter.
    void Leave();

private:
    std::string m_name;
    std::string m_reason;
    bool m_ready = false;
    int m_home = -1;
};

} // namespace testsupport
