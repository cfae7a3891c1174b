#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <thread>
#include <utility>
#include <vector>

#include "core/phase_alarm.h"
#include "core/phase_loops.h"
#include "core/phase_timer.h"
#include "core/socket_setup.h"
#include "core/test_buffer.h"

namespace {

TEST(PhaseTimer, TickArithmetic) {
    const struct {
        PhaseTimer start;
        PhaseTimer now;
        int64_t ticks;
    } cases[] = {
        {{100, 0}, {106, 1000}, 6145},
        {{100, 500000}, {106, 0}, 5632},  // 6 s and -500000 us
        {{100, 0}, {100, 0}, 0},
        {{100, 999999}, {101, 0}, 1},   // the microsecond part truncates toward zero
        {{101, 0}, {100, 999500}, -1},  // a clock stepping back a tick marks a failure
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ticks_between(c.start, c.now), c.ticks);
    }
}

TEST(PhaseTimer, MeasuresElapsedTime) {
    PhaseTimer timer;
    timer_start(timer);
    usleep(100000);
    const int64_t ticks = timer_stop(timer);
    EXPECT_GE(ticks, 102);  // 0.1 s is 102.4 ticks
    EXPECT_LT(ticks, 1024);
}

struct StreamPair {
    Socket sender;
    Socket receiver;
};

StreamPair make_stream_pair() {
    int fds[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    return StreamPair{Socket(fds[0]), Socket(fds[1])};
}

std::vector<unsigned char> block(int size, unsigned char marker) {
    std::vector<unsigned char> bytes(static_cast<size_t>(size), 7);
    bytes[0] = marker;
    return bytes;
}

void write_all(int socket, const std::vector<unsigned char>& bytes) {
    ASSERT_EQ(send(socket, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
}

TEST(SendPhase, AlarmInTheMiddleOfABlockCompletesIt) {
    StreamPair pair = make_stream_pair();
    constexpr int kSize = TEST_BUFFER_SIZE;
    const int small = 4096;
    setsockopt(pair.sender.fd(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);

    // The reader holds back until the alarm has gone off, so the sender is stuck
    // inside a block when it does.
    int64_t received = 0;
    std::thread reader([&] {
        while (alarm_expired.load() == 0) {
            usleep(10000);
        }
        usleep(100000);
        std::vector<unsigned char> sink(65536);
        ssize_t length = 0;
        while ((length = recv(pair.receiver.fd(), sink.data(), sink.size(), 0)) > 0) {
            received += length;
        }
    });
    TestBuffer buffer;
    ASSERT_TRUE(buffer.is_allocated());
    buffer.bytes()[0] = 9;
    start_alarm(1);
    const PhaseResult result = send_phase(pair.sender.fd(), buffer.bytes(), kSize);
    pair.sender = Socket();
    reader.join();

    EXPECT_EQ(buffer.bytes()[0], 0) << "ordinary blocks carry no end marker";
    EXPECT_GE(result.bytes, kSize);
    EXPECT_EQ(result.bytes % kSize, 0);
    EXPECT_EQ(received, result.bytes) << "every counted block went out whole";
    EXPECT_GT(result.last_result, 0);
}

TEST(SendPhase, ExpiredAlarmSendsNothing) {
    StreamPair pair = make_stream_pair();
    alarm_expired.store(1);
    unsigned char bytes[16] = {};
    const PhaseResult result = send_phase(pair.sender.fd(), bytes, sizeof bytes);
    EXPECT_EQ(result.bytes, 0);
    EXPECT_EQ(result.last_result, 0);
}

TEST(SendPhase, GoneConnectionEndsThePhaseAtOnce) {
    StreamPair pair = make_stream_pair();
    pair.receiver = Socket();
    unsigned char bytes[1024] = {};
    testing::internal::CaptureStderr();
    start_alarm(5);
    const PhaseResult result = send_phase(pair.sender.fd(), bytes, sizeof bytes);
    const bool alarm_fired = alarm_expired.load() != 0;
    alarm(0);
    const std::string errors = testing::internal::GetCapturedStderr();

    EXPECT_FALSE(alarm_fired) << "the phase should not wait for the alarm";
    EXPECT_EQ(result.bytes, 1024);
    EXPECT_LT(result.last_result, 0);
    EXPECT_EQ(errors, "send(): Broken pipe\n") << "reported once, and no SIGPIPE";
}

TEST(ReceivePhase, EndsOnTheMarkerAndCountsIt) {
    StreamPair pair = make_stream_pair();
    constexpr int kSize = 1000;
    for (int i = 0; i < 3; ++i) {
        write_all(pair.sender.fd(), block(kSize, 0));
    }
    write_all(pair.sender.fd(), block(kSize, 1));
    write_all(pair.sender.fd(), block(kSize, 0));  // must stay unread
    unsigned char buffer[kSize];
    const PhaseResult result = receive_phase(pair.receiver.fd(), buffer, kSize);
    EXPECT_EQ(result.bytes, 4 * kSize);
    EXPECT_GT(result.last_result, 0);
    EXPECT_EQ(buffer[0], 1);
}

TEST(ReceivePhase, PeerClosingInsideABlockCountsItWhole) {
    StreamPair pair = make_stream_pair();
    constexpr int kSize = 1000;
    write_all(pair.sender.fd(), block(kSize, 0));
    write_all(pair.sender.fd(), block(kSize / 2, 0));
    pair.sender = Socket();
    unsigned char buffer[kSize];
    const PhaseResult result = receive_phase(pair.receiver.fd(), buffer, kSize);
    EXPECT_EQ(result.bytes, 2 * kSize);
    EXPECT_EQ(result.last_result, 0);
}

TEST(ReceivePhase, FailureEndsThePhaseCountingTheBlock) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);  // recv on a pipe fails
    unsigned char buffer[100];
    testing::internal::CaptureStderr();
    const PhaseResult result = receive_phase(fds[0], buffer, sizeof buffer);
    const std::string errors = testing::internal::GetCapturedStderr();
    close(fds[0]);
    close(fds[1]);
    EXPECT_EQ(result.bytes, 100);
    EXPECT_LT(result.last_result, 0);
    EXPECT_EQ(errors.rfind("recv(): ", 0), 0U) << errors;
}

TEST(ReceivePhase, InterruptedReceiveIsRetried) {
    StreamPair pair = make_stream_pair();
    // A handler without restart, so the blocked recv really sees EINTR.
    struct sigaction action {};
    action.sa_handler = [](int) {};
    sigaction(SIGUSR1, &action, nullptr);
    const pthread_t receiving = pthread_self();
    std::thread peer([&] {
        usleep(100000);
        pthread_kill(receiving, SIGUSR1);
        usleep(100000);
        write_all(pair.sender.fd(), block(64, 1));
    });
    unsigned char buffer[64];
    testing::internal::CaptureStderr();
    const PhaseResult result = receive_phase(pair.receiver.fd(), buffer, sizeof buffer);
    const std::string errors = testing::internal::GetCapturedStderr();
    peer.join();
    signal(SIGUSR1, SIG_DFL);
    EXPECT_EQ(result.bytes, 64);
    EXPECT_EQ(buffer[0], 1);
    EXPECT_EQ(errors, "");
}

// A loopback TCP connection with the buffers every role sets.
StreamPair make_tcp_pair() {
    Socket listener(socket(AF_INET6, SOCK_STREAM, 0));
    sockaddr_in6 address = make_socket_address(in6addr_loopback, 0);
    socklen_t length = sizeof address;
    EXPECT_EQ(bind(listener.fd(), reinterpret_cast<sockaddr*>(&address), length), 0);
    EXPECT_EQ(listen(listener.fd(), 1), 0);
    EXPECT_EQ(getsockname(listener.fd(), reinterpret_cast<sockaddr*>(&address), &length), 0);
    Socket sender(socket(AF_INET6, SOCK_STREAM, 0));
    set_socket_buffers(sender.fd());
    EXPECT_EQ(connect(sender.fd(), reinterpret_cast<sockaddr*>(&address), length), 0);
    Socket receiver(accept(listener.fd(), nullptr, nullptr));
    set_socket_buffers(receiver.fd());
    return StreamPair{std::move(sender), std::move(receiver)};
}

class ReceivePhaseSizes : public testing::TestWithParam<int> {};

// The next control record follows the marked block at once, in the same segment: the
// phase must take the marked block and not one byte of what follows, however it waited
// for the blocks before (a fast stream, pauses, and bursts that fill the buffer).
TEST_P(ReceivePhaseSizes, StopsExactlyAtTheMarkedBlock) {
    const int size = GetParam();
    StreamPair pair = make_tcp_pair();
    const std::vector<unsigned char> record = {0, 0, 0, 3, 0, 0, 4, 0};
    constexpr int kBlocks = 600;
    std::thread sender([&] {
        const std::vector<unsigned char> plain = block(size, 0);
        for (int i = 0; i < kBlocks; ++i) {
            write_all(pair.sender.fd(), plain);
            if (i % 100 == 99) {
                usleep(20000);  // the receiver runs dry and waits
            }
        }
        std::vector<unsigned char> last = block(size, 1);
        last.insert(last.end(), record.begin(), record.end());
        write_all(pair.sender.fd(), last);
    });
    TestBuffer buffer;
    ASSERT_TRUE(buffer.is_allocated());
    const PhaseResult result = receive_phase(pair.receiver.fd(), buffer.bytes(), size);
    sender.join();
    pair.sender = Socket();

    EXPECT_EQ(result.bytes, int64_t{kBlocks + 1} * size);
    EXPECT_EQ(buffer.bytes()[0], 1);
    EXPECT_FALSE(result.connection_lost);
    unsigned char rest[16] = {};
    EXPECT_EQ(recv(pair.receiver.fd(), rest, sizeof rest, MSG_WAITALL), 8);
    EXPECT_EQ(std::vector<unsigned char>(rest, rest + 8), record);
}

INSTANTIATE_TEST_SUITE_P(DefaultSizes, ReceivePhaseSizes,
                         testing::Values(1024, 2048, 4096, 8192, 16384, 32767));

TEST(TestBuffer, MarkerClearAndDataRandom) {
    TestBuffer buffer;
    ASSERT_TRUE(buffer.is_allocated());
    EXPECT_EQ(buffer.bytes()[0], 0);
    int distinct[256] = {};
    for (int i = 1; i < TEST_BUFFER_SIZE; ++i) {
        distinct[buffer.bytes()[i]] = 1;
    }
    int seen = 0;
    for (int value : distinct) {
        seen += value;
    }
    EXPECT_GT(seen, 200) << "random bytes cover nearly every value";
}

}  // namespace
