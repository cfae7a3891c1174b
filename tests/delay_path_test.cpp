// The path with delay that benchmarks and tests run over: its queue's timing and limits,
// the program's life, and what TCP and FLENKO see across it.
#include "support/delay_path.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstring>
#include <deque>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <regex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "core/run_config.h"
#include "core/socket_setup.h"
#include "support/delay_line.h"
#include "support/netns.h"
#include "support/process.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::duration;
using std::chrono::microseconds;
using std::chrono::milliseconds;
using std::chrono::seconds;

#define SKIP_WITHOUT_PATH(path)                                \
    if (!(path).failure().empty()) {                           \
        GTEST_SKIP() << "no delay path: " << (path).failure(); \
    }

const Clock::time_point T0 = Clock::time_point(seconds(1000));

std::vector<uint8_t> packet_of(size_t length, unsigned serial) {
    std::vector<uint8_t> packet(length);
    for (size_t i = 0; i < length; ++i) {
        packet[i] = static_cast<uint8_t>(serial * 31 + i);
    }
    return packet;
}

std::vector<uint8_t> copy_of(std::span<const uint8_t> packet) {
    return {packet.begin(), packet.end()};
}

TEST(DelayLine, HoldsEveryPacketForTheDelayInArrivalOrder) {
    DelayLine line(milliseconds(10), 0, 1 << 20);
    const std::vector<std::pair<Clock::time_point, size_t>> arrivals = {
        {T0, 1500}, {T0 + microseconds(1), 40}, {T0 + microseconds(1), 1500}, {T0 + seconds(3), 9}};
    for (size_t i = 0; i < arrivals.size(); ++i) {
        ASSERT_TRUE(line.push(arrivals[i].first, packet_of(arrivals[i].second, i)));
    }
    for (size_t i = 0; i < arrivals.size(); ++i) {
        ASSERT_FALSE(line.empty());
        EXPECT_EQ(line.next_departure(), arrivals[i].first + milliseconds(10)) << i;
        EXPECT_EQ(copy_of(line.front()), packet_of(arrivals[i].second, i)) << i;
        line.pop();
    }
    EXPECT_TRUE(line.empty());
    EXPECT_EQ(line.queued_bytes(), 0U);
}

// At 12 Mbit/s a 1500-byte packet takes 1 ms to send and a 150-byte one 0.1 ms.
TEST(DelayLine, RateSpacesDeparturesBySerializationTime) {
    DelayLine line(milliseconds(5), 12'000'000, 64 << 20);
    const struct {
        Clock::time_point arrival;
        size_t length;
        Clock::time_point departure;
    } packets[] = {
        {T0, 1500, T0 + milliseconds(5)},                         // an idle line: the delay only
        {T0, 1500, T0 + milliseconds(6)},                         // behind the first
        {T0, 150, T0 + microseconds(6100)},                       // a shorter gap
        {T0 + milliseconds(2), 1500, T0 + microseconds(7100)},    // still queued behind
        {T0 + milliseconds(50), 1500, T0 + milliseconds(55)},     // idle again: no saved credit
        {T0 + microseconds(50500), 1500, T0 + milliseconds(56)},  // arrived within the gap
    };
    for (const auto& packet : packets) {
        ASSERT_TRUE(line.push(packet.arrival, packet_of(packet.length, 0)));
    }
    for (const auto& packet : packets) {
        EXPECT_EQ(line.next_departure(), packet.departure)
            << (packet.arrival - T0).count() << " ns after T0";
        line.pop();
    }
    // A long burst departs on its absolute schedule, without drift.
    for (int i = 0; i < 5000; ++i) {
        ASSERT_TRUE(line.push(T0 + seconds(1), packet_of(1500, 0)));
    }
    for (int i = 0; i < 4999; ++i) {
        line.pop();
    }
    EXPECT_EQ(line.next_departure(), T0 + seconds(1) + milliseconds(5) + milliseconds(4999));
}

TEST(DelayLine, DropsArrivalsThatWouldOverfillTheQueue) {
    DelayLine line(milliseconds(10), 0, 4000);
    EXPECT_TRUE(line.push(T0, packet_of(1500, 0)));
    EXPECT_TRUE(line.push(T0, packet_of(1500, 1)));
    EXPECT_FALSE(line.push(T0, packet_of(1500, 2)));
    EXPECT_TRUE(line.push(T0, packet_of(1000, 3)));  // exactly full
    EXPECT_FALSE(line.push(T0, packet_of(1, 4)));
    EXPECT_EQ(line.dropped(), 2U);
    EXPECT_EQ(line.queued_bytes(), 4000U);
    line.pop();
    EXPECT_TRUE(line.push(T0, packet_of(1500, 5)));
    EXPECT_EQ(line.queued_bytes(), 4000U);
    // What was dropped left nothing behind.
    for (const unsigned serial : {1U, 3U, 5U}) {
        ASSERT_FALSE(line.empty());
        EXPECT_EQ(line.front().size(), serial == 3 ? 1000U : 1500U);
        EXPECT_EQ(copy_of(line.front()), packet_of(line.front().size(), serial));
        line.pop();
    }
    EXPECT_TRUE(line.empty());
}

// Packets of every size go through the line's store many times over against a plain
// model: the store never refuses what the byte limit allows, and never garbles a packet.
// Limits of a few of the largest packets make the store wrap at every awkward offset.
TEST(DelayLine, KeepsEveryPacketWholeThroughManyWrapsOfItsStore) {
    constexpr size_t MAX = DelayLine::MAX_PACKET;
    // Each packet is a window into this pattern, starting where its serial says, so that
    // packets of the same length still differ.
    std::vector<uint8_t> pattern(MAX + 251);
    for (size_t i = 0; i < pattern.size(); ++i) {
        pattern[i] = static_cast<uint8_t>(i * 7 + i / 251);
    }
    for (const size_t limit : {MAX, 2 * MAX + 7, 3 * MAX, 40 * MAX}) {
        SCOPED_TRACE("limit " + std::to_string(limit));
        DelayLine line(milliseconds(1), 0, limit);
        std::mt19937 random(7);
        std::deque<std::span<const uint8_t>> model;
        size_t model_bytes = 0;
        for (int step = 0; step < 20000; ++step) {
            if (random() % 100 < 55) {
                const unsigned kind = random() % 10;
                const size_t length = kind < 4   ? MAX - random() % 100
                                      : kind < 7 ? MAX / 2 - 50 + random() % 100
                                                 : 1 + random() % 2000;
                const std::span<const uint8_t> packet(pattern.data() + step % 251, length);
                const bool fits = model_bytes + length <= limit;
                ASSERT_EQ(line.push(T0 + microseconds(step), packet), fits) << "step " << step;
                if (fits) {
                    model_bytes += length;
                    model.push_back(packet);
                }
            } else if (!model.empty()) {
                ASSERT_FALSE(line.empty());
                const std::span<const uint8_t> held = line.front();
                ASSERT_TRUE(held.size() == model.front().size() &&
                            memcmp(held.data(), model.front().data(), held.size()) == 0)
                    << "step " << step;
                model_bytes -= model.front().size();
                model.pop_front();
                line.pop();
            }
            ASSERT_EQ(line.queued_bytes(), model_bytes);
        }
    }
}

bool namespace_exists(const std::string& name) {
    return std::filesystem::exists("/run/netns/" + name);
}

// Nothing is made, and no namespace named, before the arguments all hold.
TEST(DelayPathProgram, RefusesBadArgumentsBeforeMakingAnything) {
    const std::string stem = fresh_delay_namespace_stem();
    const std::string client = stem + "c";
    const std::string server = stem + "s";
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"--client", client, "--server", server},
        {"--client", client, "--server", server, "--rtt-ms"},
        {"--client", client, "--server", server, "--rtt-ms", "-5"},
        {"--client", client, "--server", server, "--rtt-ms", "20ms"},
        {"--client", client, "--server", client, "--rtt-ms", "20"},
        {"--client", client, "--rtt-ms", "20"},
        {"--client", client, "--server", server, "--rtt-ms", "20", "--rate-mbit", "0"},
        {"--client", client, "--server", server, "--rtt-ms", "20", "--queue-kbytes", "x"},
        {"--client", client, "--server", server, "--rtt-ms", "20", "--loss", "1"},
    };
    for (const std::vector<std::string>& arguments : cases) {
        std::vector<std::string> argv = {delay_path_binary()};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        const ProcessResult result = run_process(argv);
        std::string shown;
        for (const std::string& argument : arguments) {
            shown += argument + " ";
        }
        EXPECT_EQ(result.exit_status, 2) << shown;
        EXPECT_NE(result.err.find("usage:"), std::string::npos) << shown << result.err;
        EXPECT_EQ(result.out, "") << shown;
        EXPECT_FALSE(namespace_exists(client) || namespace_exists(server)) << shown;
    }
}

class DelayPathProgramStops : public ::testing::TestWithParam<int> {};

// Either stop signal ends it with status 0, its counts printed and both namespaces gone.
TEST_P(DelayPathProgramStops, RemovingBothNamespaces) {
    const std::string unavailable = delay_path_unavailable();
    if (!unavailable.empty()) {
        GTEST_SKIP() << "no delay path: " << unavailable;
    }
    const std::string stem = fresh_delay_namespace_stem();
    ChildProcess forwarder({delay_path_binary(), "--client", stem + "c", "--server", stem + "s",
                            "--rtt-ms", "2", "--exit-with-parent"});
    ASSERT_TRUE(forwarder.wait_for_output("ready\n", seconds(30))) << forwarder.err();
    EXPECT_TRUE(namespace_exists(stem + "c"));
    EXPECT_TRUE(namespace_exists(stem + "s"));
    forwarder.send_signal(GetParam());
    const ProcessResult ended = forwarder.finish(seconds(20));
    EXPECT_EQ(ended.exit_status, 0) << ended.err;
    const std::regex counts(
        "ready\nclient to server: [1-9][0-9]* packets, [0-9]+ bytes, 0 dropped\n"
        "server to client: [1-9][0-9]* packets, [0-9]+ bytes, 0 dropped\n");
    EXPECT_TRUE(std::regex_match(ended.out, counts)) << ended.out;
    EXPECT_FALSE(namespace_exists(stem + "c"));
    EXPECT_FALSE(namespace_exists(stem + "s"));
}

INSTANTIATE_TEST_SUITE_P(Signals, DelayPathProgramStops, ::testing::Values(SIGINT, SIGTERM),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return std::string(info.param == SIGINT ? "Interrupt" : "Terminate");
                         });

// A name already taken stops it half-way: the namespace it made goes, the one it found
// stays.
TEST(DelayPathProgram, FailingHalfWayRemovesOnlyWhatItMade) {
    const std::string unavailable = delay_path_unavailable();
    if (!unavailable.empty()) {
        GTEST_SKIP() << "no delay path: " << unavailable;
    }
    const std::string ip = find_program("ip");
    const std::string stem = fresh_delay_namespace_stem();
    ASSERT_EQ(run_process({ip, "netns", "add", stem + "s"}).exit_status, 0);
    const ProcessResult result = run_process(
        {delay_path_binary(), "--client", stem + "c", "--server", stem + "s", "--rtt-ms", "2"},
        seconds(30));
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_NE(result.err.find("File exists"), std::string::npos) << result.err;
    EXPECT_FALSE(namespace_exists(stem + "c"));
    EXPECT_TRUE(namespace_exists(stem + "s"));
    run_process({ip, "netns", "del", stem + "s"});
}

void set_timeouts(int socket, seconds limit) {
    const timeval value{static_cast<time_t>(limit.count()), 0};
    setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &value, sizeof value);
    setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &value, sizeof value);
}

// A listening TCP socket on the server host, at a port of the kernel's choice.
Socket listen_on(const DelayPath& path, int& port) {
    Socket listener = path.open_socket(path.server(), SOCK_STREAM);
    sockaddr_in6 any = make_socket_address(in6addr_any, 0);
    socklen_t size = sizeof any;
    if (bind(listener.fd(), reinterpret_cast<sockaddr*>(&any), size) != 0 ||
        listen(listener.fd(), 4) != 0 ||
        getsockname(listener.fd(), reinterpret_cast<sockaddr*>(&any), &size) != 0) {
        return Socket();
    }
    port = ntohs(any.sin6_port);
    return listener;
}

sockaddr_in6 server_address(const DelayPath& path, int port) {
    in6_addr address{};
    inet_pton(AF_INET6, path.server().address.c_str(), &address);
    return make_socket_address(address, port);
}

// A connection from the client host to the listener: client end and server end.
std::pair<Socket, Socket> connect_across(const DelayPath& path, const Socket& listener, int port) {
    Socket client = path.open_socket(path.client(), SOCK_STREAM);
    set_timeouts(client.fd(), seconds(10));
    const sockaddr_in6 address = server_address(path, port);
    if (connect(client.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return {};
    }
    Socket server(accept(listener.fd(), nullptr, nullptr));
    set_timeouts(server.fd(), seconds(10));
    return {std::move(client), std::move(server)};
}

double ms(Clock::duration span) {
    return duration<double, std::milli>(span).count();
}

struct RttCase {
    const char* name;
    double rtt_ms;
    double rate_mbit;
};

void PrintTo(const RttCase& shape, std::ostream* out) {
    *out << shape.name;
}

class DelayPathRtt : public ::testing::TestWithParam<RttCase> {};

// The handshake, small exchanges and the kernel's own estimate all take at least the
// asked round trip, and not much more: the slack is for a slow, loaded machine.
TEST_P(DelayPathRtt, TcpSeesTheRoundTripAsked) {
    const RttCase& shape = GetParam();
    DelayPath path({shape.rtt_ms, shape.rate_mbit, 0});
    SKIP_WITHOUT_PATH(path);
    const double floor_ms = shape.rtt_ms * 0.95;
    const double ceiling_ms = shape.rtt_ms + 180.0;
    int port = 0;
    const Socket listener = listen_on(path, port);
    ASSERT_TRUE(listener.is_open());

    // Accepting waits for the handshake's third packet: one and a half round trips.
    const Clock::time_point dialled = Clock::now();
    auto [client, server] = connect_across(path, listener, port);
    const double handshake_ms = ms(Clock::now() - dialled);
    ASSERT_TRUE(client.is_open() && server.is_open());
    EXPECT_GE(handshake_ms, 1.5 * floor_ms);

    set_no_delay(client.fd());
    set_no_delay(server.fd());
    std::vector<double> rounds;
    for (int i = 0; i < 10; ++i) {
        char byte = 'x';
        const Clock::time_point sent = Clock::now();
        ASSERT_EQ(send(client.fd(), &byte, 1, 0), 1);
        ASSERT_EQ(recv(server.fd(), &byte, 1, 0), 1);
        ASSERT_EQ(send(server.fd(), &byte, 1, 0), 1);
        ASSERT_EQ(recv(client.fd(), &byte, 1, 0), 1);
        rounds.push_back(ms(Clock::now() - sent));
    }
    std::sort(rounds.begin(), rounds.end());
    EXPECT_GE(rounds.front(), floor_ms);
    EXPECT_LT(rounds[rounds.size() / 2], ceiling_ms);

    tcp_info info{};
    socklen_t size = sizeof info;
    ASSERT_EQ(getsockopt(client.fd(), IPPROTO_TCP, TCP_INFO, &info, &size), 0);
    EXPECT_GE(info.tcpi_rtt / 1000.0, floor_ms);
    EXPECT_LT(info.tcpi_rtt / 1000.0, ceiling_ms);
}

INSTANTIATE_TEST_SUITE_P(Paths, DelayPathRtt,
                         ::testing::Values(RttCase{"Unpaced20ms", 20, 0},
                                           RttCase{"Paced60ms", 60, 50}),
                         [](const ::testing::TestParamInfo<RttCase>& info) {
                             return std::string(info.param.name);
                         });

struct BulkFigures {
    int64_t bytes = 0;  // received after the first read
    double seconds = 0.0;
};

// Sends until told to stop, then closes its side.
void send_bulk(int socket, const std::atomic<bool>& stop) {
    const std::vector<char> block(65536, 'b');
    while (!stop.load() && send(socket, block.data(), block.size(), MSG_NOSIGNAL) > 0) {
    }
    shutdown(socket, SHUT_WR);
}

// Counts what arrives over span from the first read on, then reads on to the sender's
// close so that its last send returns.
void receive_bulk(int socket, Clock::duration span, std::atomic<bool>& stop, BulkFigures& figures) {
    std::vector<char> block(65536);
    std::optional<Clock::time_point> first;
    for (;;) {
        const ssize_t got = recv(socket, block.data(), block.size(), 0);
        if (got <= 0) {
            break;
        }
        const Clock::time_point now = Clock::now();
        if (!first) {
            first = now;
        } else if (!stop.load()) {
            figures.bytes += got;
            figures.seconds = duration<double>(now - *first).count();
            if (now - *first >= span) {
                stop.store(true);
            }
        }
    }
    stop.store(true);
}

// Bulk transfers both ways at once each keep under the cap of their own direction, and
// use most of it.
TEST(DelayPathRate, CapsEachDirectionOfBulkTransfers) {
    constexpr double RATE_MBIT = 40;
    DelayPath path({10, RATE_MBIT, 0});
    SKIP_WITHOUT_PATH(path);
    int port = 0;
    const Socket listener = listen_on(path, port);
    ASSERT_TRUE(listener.is_open());
    auto [upload_client, upload_server] = connect_across(path, listener, port);
    auto [download_client, download_server] = connect_across(path, listener, port);
    ASSERT_TRUE(upload_server.is_open() && download_server.is_open());

    std::atomic<bool> stops[2] = {false, false};
    BulkFigures figures[2];
    const Clock::duration span = milliseconds(2500);
    {
        std::jthread upload_sender(send_bulk, upload_client.fd(), std::cref(stops[0]));
        std::jthread upload_receiver(receive_bulk, upload_server.fd(), span, std::ref(stops[0]),
                                     std::ref(figures[0]));
        std::jthread download_sender(send_bulk, download_server.fd(), std::cref(stops[1]));
        std::jthread download_receiver(receive_bulk, download_client.fd(), span, std::ref(stops[1]),
                                       std::ref(figures[1]));
    }
    const double cap = RATE_MBIT * 1e6 / 8;
    const char* names[2] = {"client to server", "server to client"};
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(names[i]);
        ASSERT_GT(figures[i].seconds, 2.0);
        const double rate = static_cast<double>(figures[i].bytes) / figures[i].seconds;
        EXPECT_LE(rate, cap * 1.05);
        EXPECT_GE(rate, cap * 0.5);
    }
}

// The forwarder's closing count of what one direction dropped.
std::optional<int64_t> dropped_in(const std::string& out, const std::string& direction) {
    const std::regex line(direction + ": [0-9]+ packets, [0-9]+ bytes, ([0-9]+) dropped");
    std::smatch found;
    if (!std::regex_search(out, found, line)) {
        return std::nullopt;
    }
    return std::stoll(found[1]);
}

// A burst far beyond the queue keeps about what fits in it, 62 of these 1048-byte IPv6
// packets, and the forwarder counts the rest as dropped. Nothing leaves for the first
// 20 ms and then one packet each 4.2 ms, so even a slow sender's burst keeps well under 100,
// and the program's own default queue (150 kB here) would keep over 140.
TEST(DelayPathQueue, BurstBeyondTheQueueIsDropped) {
    constexpr int SENT = 300;
    DelayPath path({40, 2, 64});
    SKIP_WITHOUT_PATH(path);
    const Socket receiver = path.open_socket(path.server(), SOCK_DGRAM);
    const int room = 4 << 20;
    setsockopt(receiver.fd(), SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof room);
    sockaddr_in6 any = make_socket_address(in6addr_any, 0);
    socklen_t size = sizeof any;
    ASSERT_EQ(bind(receiver.fd(), reinterpret_cast<sockaddr*>(&any), size), 0);
    ASSERT_EQ(getsockname(receiver.fd(), reinterpret_cast<sockaddr*>(&any), &size), 0);
    const sockaddr_in6 target = server_address(path, ntohs(any.sin6_port));

    const Socket sender = path.open_socket(path.client(), SOCK_DGRAM);
    const std::vector<char> datagram(1000, 'd');
    for (int i = 0; i < SENT; ++i) {
        ASSERT_EQ(sendto(sender.fd(), datagram.data(), datagram.size(), 0,
                         reinterpret_cast<const sockaddr*>(&target), sizeof target),
                  1000);
    }
    // Everything kept has arrived after a second of quiet.
    const timeval quiet{1, 0};
    setsockopt(receiver.fd(), SOL_SOCKET, SO_RCVTIMEO, &quiet, sizeof quiet);
    int received = 0;
    std::vector<char> buffer(2000);
    while (recv(receiver.fd(), buffer.data(), buffer.size(), 0) > 0) {
        ++received;
    }
    EXPECT_GE(received, 55);
    EXPECT_LT(received, 100);

    const ProcessResult ended = path.stop();
    const std::optional<int64_t> dropped = dropped_in(ended.out, "client to server");
    ASSERT_TRUE(dropped.has_value()) << ended.out;
    // Stray packets of the hosts' own (router solicitations and the like) may add a few.
    EXPECT_GE(received + *dropped, SENT) << ended.out;
    EXPECT_LE(received + *dropped, SENT + 10) << ended.out;
}

class FlenkoOverDelayPath : public ::testing::TestWithParam<double> {};

// With its 128 KiB socket buffers, which the kernel doubles, FLENKO's TCP moves at most
// 256 KiB per round trip however fast the path: over these RTTs far below the path's
// 200 Mbit/s, and slower as the RTT grows.
TEST_P(FlenkoOverDelayPath, TcpRateIsBoundByItsBuffersPerRoundTrip) {
    const double rtt_ms = GetParam();
    DelayPath path({rtt_ms, 200, 0});
    SKIP_WITHOUT_PATH(path);
    const int port = fresh_port();
    ChildProcess server(path.command(path.server(), {flenko_short_path(), "-s", "-t", "-p",
                                                     std::to_string(port), "--time=3", "--json"}));
    ASSERT_TRUE(server.wait_for_error("TCP server listening.", seconds(20))) << server.err();
    const ProcessResult client = run_process(
        path.command(path.client(), {flenko_short_path(), "-t", "-p", std::to_string(port), "-b",
                                     "32k", "--time=3", "--json", path.server().address}),
        seconds(60));
    ASSERT_EQ(client.exit_status, 0) << client.err;
    const nlohmann::json document = nlohmann::json::parse(client.out, nullptr, false);
    ASSERT_FALSE(document.is_discarded()) << client.out;
    ASSERT_EQ(document["results"].size(), 1U) << client.out;
    const nlohmann::json& result = document["results"][0];

    const double window_rate = SOCKET_BUFFER_SIZE / (rtt_ms / 1e3);
    for (const char* direction : {"tx", "rx"}) {
        SCOPED_TRACE(direction);
        const double rate = result[direction]["bytes_per_second"].get<double>();
        EXPECT_LE(rate, 2 * window_rate * 1.05);
        EXPECT_GE(rate, window_rate * 0.25);
    }
    EXPECT_GE(result["tx"]["tcp_info"]["rtt_ms"].get<double>(), rtt_ms * 0.95) << result;
    server.send_signal(SIGINT);
    server.finish(seconds(10));
}

INSTANTIATE_TEST_SUITE_P(RoundTrips, FlenkoOverDelayPath, ::testing::Values(20.0, 50.0),
                         [](const ::testing::TestParamInfo<double>& info) {
                             return std::to_string(static_cast<int>(info.param)) + "ms";
                         });

}  // namespace
