#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "harness.h"

// Network namespaces for tests that need links of their own: shaped, bridged or remote.
namespace vandra::e2e {

// Root and iproute2, which every namespace test needs.
bool haveNamespaces();

// Runs the commands in order; empty when all succeeded, else what failed and why.
std::string runAll(const std::vector<std::vector<std::string>>& commands,
                   const std::filesystem::path& logDir);

// A network namespace that lives as long as this object; its links go with it. Processes
// started in it must be stopped first, or the namespace outlives its name.
class NetNamespace {
public:
    NetNamespace(const std::string& suffix, const std::filesystem::path& logDir);
    ~NetNamespace();
    NetNamespace(const NetNamespace&) = delete;
    NetNamespace& operator=(const NetNamespace&) = delete;

    bool ready() const { return error_.empty(); }
    const std::string& error() const { return error_; }
    const std::string& name() const { return name_; }

    // The command run in this namespace; without one, what goes before it.
    std::vector<std::string> wrap(const std::vector<std::string>& argv = {}) const;
    // An `ip` command acting on this namespace.
    std::vector<std::string> ip(const std::vector<std::string>& args) const;
    // Limits what leaves through `device` to `rate` (tc's units, e.g. "4mbit").
    std::vector<std::string> shape(const std::string& device, const std::string& rate) const;

private:
    std::string name_;
    std::filesystem::path logDir_;
    std::string error_;
};

// Commands that join two namespaces with a veth pair and give each end an address (none when
// empty).
std::vector<std::vector<std::string>> vethCommands(const NetNamespace& a, const std::string& aIf,
                                                   const std::string& aAddress,
                                                   const NetNamespace& b, const std::string& bIf,
                                                   const std::string& bAddress);

// Namespaces with these name suffixes; a test failure for each that could not be set up.
std::vector<std::unique_ptr<NetNamespace>> makeNamespaces(const std::vector<std::string>& suffixes,
                                                          const std::filesystem::path& logDir);

// Two namespaces joined by a veth pair "v0" on 10.77.<subnet>.1 (server side) and .2 (the
// far side), the server side's sending shaped to `rate`.
struct ShapedLink {
    ScratchDir scratch{"vandra_netns_"};
    std::vector<std::unique_ptr<NetNamespace>> namespaces;
    std::string error; // empty when the link is up

    ShapedLink(const std::string& name, int subnet, const std::string& rate);
    const NetNamespace& serverSide() const { return *namespaces[0]; }
    const NetNamespace& farSide() const { return *namespaces[1]; }
    std::string serverAddress() const { return "10.77." + std::to_string(subnet_) + ".1"; }

private:
    int subnet_;
};

// A server started in a namespace on SRT port 9000 and web port 8080, receiving `group`:5000
// through `iface`; constructed once it has joined the group.
struct NamespacedServer {
    ServerInstance instance;
    std::unique_ptr<Process> process;

    NamespacedServer(const NetNamespace& ns, const std::string& group, const std::string& iface,
                     const std::vector<std::string>& settings,
                     const std::vector<std::string>& environment = {});
    const std::filesystem::path& dir() const { return instance.dir(); }
};

} // namespace vandra::e2e
