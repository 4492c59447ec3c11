// Separate hosts on one machine for tests that cross a network: each host is
// a network namespace with one veth link to a bridge in the test's own
// network namespace, its own IPv4 and IPv6 address, and a name in an
// /etc/hosts of the test's own (bind-mounted over /etc/hosts in the test's
// mount namespace). Needs the private namespaces that tests/isolated gives.
#pragma once

#include <string>
#include <vector>

namespace gorv::test {

class TestHosts {
  public:
    // Host i gets 10.77.0.(i+1) and fd77::(i+1).
    explicit TestHosts(const std::vector<std::string>& names);
    ~TestHosts();
    TestHosts(const TestHosts&) = delete;
    TestHosts& operator=(const TestHosts&) = delete;

    // The command line that runs argv on the named host.
    std::vector<std::string> on(const std::string& host, std::vector<std::string> argv) const;

  private:
    std::vector<std::string> names_;
};

}  // namespace gorv::test
