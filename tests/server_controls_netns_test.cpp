// Who a server serves and whose datagrams it counts, between two hosts (namespaces).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "core/socket_setup.h"
#include "support/netns.h"
#include "support/process.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// The host's address with its last group replaced: another address in the same /64, in
// the form a server prints.
std::string sibling_address(const NetnsHost& host, const std::string& last) {
    const std::string text = host.address.substr(0, host.address.rfind(':') + 1) + last;
    in6_addr address{};
    char canonical[INET6_ADDRSTRLEN] = "";
    inet_pton(AF_INET6, text.c_str(), &address);
    inet_ntop(AF_INET6, &address, canonical, sizeof canonical);
    return canonical;
}

// A second address on host, as if a third host shared its link. Deprecated from the start,
// so the host's own connections and datagrams keep its first address.
std::string add_address(const NetnsPair& hosts, const NetnsHost& host, const std::string& address) {
    return hosts.run(host, {find_program("ip"), "addr", "add", address + "/64", "dev", host.device,
                            "nodad", "preferred_lft", "0"});
}

std::vector<std::string> client(const std::string& port, std::vector<std::string> options,
                                const NetnsHost& server) {
    std::vector<std::string> argv = {flenko_short_path(), "-p", port, "-b", "1k"};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back(server.address);
    return argv;
}

const std::regex TCP_RESULT(
    "Packet size  1k bytes: +[0-9.]+ [KMG]?Byte/s Tx, +[0-9.]+ [KMG]?Byte/s Rx\\.");
const std::regex UDP_RESULT(
    "Packet size  1k bytes: +[0-9.]+ [KMG]?Byte/s \\((-?[0-9]+)%\\) Tx, +[0-9.]+ [KMG]?Byte/s "
    "\\((-?[0-9]+)%\\) Rx\\.");

// A client outside --allow is closed before anything moves, TCP and UDP alike, and the
// server names it; the client inside is served whole by the same server.
TEST(AllowAcrossHosts, RefusesOthersAtOnceAndServesItsOwn) {
    NetnsPair hosts;
    if (!hosts.failure().empty()) {
        GTEST_SKIP() << "no namespaces: " << hosts.failure();
    }
    const std::string outsider = sibling_address(hosts.client(), "3");
    ASSERT_EQ(add_address(hosts, hosts.client(), outsider), "");
    const std::string port = std::to_string(fresh_port());
    ChildProcess server(hosts.command(hosts.server(), {flenko_short_path(), "-s", "-p", port,
                                                       "--allow=" + hosts.client().address}));
    ASSERT_TRUE(server.wait_for_output("TCP server listening.\n", seconds(10))) << server.err();
    ASSERT_TRUE(server.wait_for_output("UDP server listening.\n", seconds(10))) << server.err();

    for (const char* protocol : {"-t", "-u"}) {
        SCOPED_TRACE(protocol);
        const std::string name = protocol[1] == 't' ? "TCP" : "UDP";
        const size_t before = server.out().size();
        const auto start = std::chrono::steady_clock::now();
        const ProcessResult refused = run_process(
            hosts.command(hosts.client(), client(port, {protocol, "-h", outsider}, hosts.server())),
            seconds(30));
        EXPECT_EQ(refused.exit_status, 0) << refused.err;
        // At once: well short of the idle limit a silent server would cost.
        EXPECT_LT(std::chrono::steady_clock::now() - start, seconds(4));
        EXPECT_FALSE(std::regex_search(refused.out, protocol[1] == 't' ? TCP_RESULT : UDP_RESULT))
            << refused.out;
        const std::string line =
            name + " connection from " + outsider + " refused: not in --allow.\n";
        ASSERT_TRUE(server.wait_for_output(line, seconds(10))) << server.out();
        EXPECT_EQ(server.out().find("connection established", before), std::string::npos)
            << server.out();

        const ProcessResult served = run_process(
            hosts.command(hosts.client(), client(port, {protocol}, hosts.server())), seconds(30));
        EXPECT_EQ(served.exit_status, 0);
        EXPECT_EQ(served.err, "");
        EXPECT_TRUE(std::regex_search(served.out, protocol[1] == 't' ? TCP_RESULT : UDP_RESULT))
            << served.out;
        // Read up to its end, so that the next refusal is looked for in what follows it.
        EXPECT_TRUE(
            server.wait_for_output("\nDone.\n" + name + " server listening.\n", seconds(10)))
            << server.out();
    }
    server.send_signal(SIGINT);
    EXPECT_EQ(server.finish(seconds(10)).exit_status, 0);
}

// Sends small datagrams from address in host to target's UDP port until stopped (or for 30
// s at most), a few hundred a second: light next to the paced link, heavy next to its count.
class StraySender {
   public:
    StraySender(const NetnsPair& hosts, const NetnsHost& host, const std::string& address,
                const NetnsHost& target, int port)
        : socket_(hosts.open_socket(host, SOCK_DGRAM)) {
        sockaddr_in6 local = make_socket_address(in6addr_any, 0);
        inet_pton(AF_INET6, address.c_str(), &local.sin6_addr);
        sockaddr_in6 remote = make_socket_address(in6addr_any, port);
        inet_pton(AF_INET6, target.address.c_str(), &remote.sin6_addr);
        if (bind(socket_.fd(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
            return;
        }
        thread_ = std::thread([this, remote] {
            const std::vector<unsigned char> payload(200, 0);
            for (int i = 0; i < 15000 && !stop_.load(); ++i) {
                if (sendto(socket_.fd(), payload.data(), payload.size(), 0,
                           reinterpret_cast<const sockaddr*>(&remote), sizeof remote) > 0) {
                    sent_.fetch_add(1);
                }
                std::this_thread::sleep_for(milliseconds(2));
            }
        });
    }
    StraySender(const StraySender&) = delete;
    StraySender& operator=(const StraySender&) = delete;
    ~StraySender() { stop(); }

    bool sending() const { return thread_.joinable(); }
    int sent() const { return sent_.load(); }
    void stop() {
        stop_.store(true);
        if (thread_.joinable()) {
            thread_.join();
        }
    }

   private:
    Socket socket_;
    std::atomic<bool> stop_{false};
    std::atomic<int> sent_{0};
    std::thread thread_;
};

// Datagrams from a third host reach both UDP ports during a run; counted, they would show
// as a large negative loss in each direction.
TEST(StrayDatagrams, AreNotCountedOnEitherSide) {
    NetnsPair hosts;
    if (!hosts.failure().empty()) {
        GTEST_SKIP() << "no namespaces: " << hosts.failure();
    }
    const std::string near_client = sibling_address(hosts.client(), "3");
    const std::string near_server = sibling_address(hosts.server(), "4");
    ASSERT_EQ(add_address(hosts, hosts.client(), near_client), "");
    ASSERT_EQ(add_address(hosts, hosts.server(), near_server), "");
    const int port = fresh_port();
    ChildProcess server(hosts.command(
        hosts.server(), {flenko_short_path(), "-s", "-u", "-p", std::to_string(port)}));
    ASSERT_TRUE(server.wait_for_output("UDP server listening.\n", seconds(10))) << server.err();

    StraySender to_server(hosts, hosts.client(), near_client, hosts.server(), port + 1);
    StraySender to_client(hosts, hosts.server(), near_server, hosts.client(), port + 1);
    ASSERT_TRUE(to_server.sending() && to_client.sending());
    const ProcessResult run = run_process(
        hosts.command(hosts.client(), client(std::to_string(port), {"-u"}, hosts.server())),
        seconds(30));
    to_server.stop();
    to_client.stop();
    EXPECT_EQ(run.exit_status, 0);
    std::smatch losses;
    ASSERT_TRUE(std::regex_search(run.out, losses, UDP_RESULT)) << run.out;
    // A quiet link loses nothing; one point for a receiver that the machine starves a while.
    for (int direction = 1; direction <= 2; ++direction) {
        EXPECT_GE(std::stol(losses[direction]), 0) << run.out;
        EXPECT_LE(std::stol(losses[direction]), 1) << run.out;
    }
    // Two one-second phases at a few hundred a second.
    EXPECT_GT(to_server.sent(), 200);
    EXPECT_GT(to_client.sent(), 200);
    server.send_signal(SIGINT);
    EXPECT_EQ(server.finish(seconds(10)).exit_status, 0);
}

}  // namespace
