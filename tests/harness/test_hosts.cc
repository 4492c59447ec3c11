#include "tests/harness/test_hosts.h"

#include <stdexcept>

#include "tests/harness/process_harness.h"

namespace gorv::test {
namespace {

void sh(const std::string& command) {
    const Finished done = run({"/bin/sh", "-ec", command}, 10s);
    if (done.exit_status != 0) throw std::runtime_error(command + ": " + done.err);
}

}  // namespace

TestHosts::TestHosts(const std::vector<std::string>& names) : names_(names) {
    // `ip netns` keeps its namespaces under /run/netns: a /run of our own.
    sh("mount -t tmpfs tmpfs /run && ip link add hosts type bridge && ip link set hosts up");
    std::string hosts = "127.0.0.1 localhost\n::1 localhost\n";
    for (size_t i = 0; i < names_.size(); ++i) {
        const std::string& name = names_[i];
        const std::string n = std::to_string(i + 1);
        hosts += "10.77.0." + n + " " + name + "\nfd77::" + n + " " + name + "\n";
        const std::string in = "ip -n " + name + " ";
        sh("ip netns add " + name + " && " + in + "link set lo up" +
           " && ip link add port" + n + " master hosts type veth peer name eth0 netns " + name +
           " && ip link set port" + n + " up" +
           " && " + in + "addr add 10.77.0." + n + "/24 dev eth0" +
           " && " + in + "addr add fd77::" + n + "/64 dev eth0 nodad" +
           " && " + in + "link set eth0 up");
    }
    write_file("/tmp/test_hosts", hosts);
    sh("mount --bind /tmp/test_hosts /etc/hosts");
}

TestHosts::~TestHosts() {
    for (const std::string& name : names_) run({"/bin/sh", "-c", "ip netns delete " + name}, 5s);
}

std::vector<std::string> TestHosts::on(const std::string& host, std::vector<std::string> argv) const {
    argv.insert(argv.begin(), {"/usr/sbin/ip", "netns", "exec", host});
    return argv;
}

}  // namespace gorv::test
