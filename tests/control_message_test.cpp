#include "core/control_message.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include "core/socket_setup.h"

namespace {

struct SocketPair {
    Socket near;
    Socket far;
};

SocketPair make_pair() {
    int fds[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    return SocketPair{Socket(fds[0]), Socket(fds[1])};
}

std::vector<unsigned char> read_bytes(int socket, size_t length) {
    std::vector<unsigned char> bytes(length);
    EXPECT_EQ(recv(socket, bytes.data(), length, MSG_WAITALL), static_cast<ssize_t>(length));
    return bytes;
}

TEST(ControlMessage, TravelsBigEndian) {
    const struct {
        uint32_t command;
        uint32_t value;
        std::vector<unsigned char> bytes;
    } cases[] = {
        {CMD_TO_SERVER, 1024, {0, 0, 0, 1, 0, 0, 4, 0}},
        {CMD_END, 0, {0, 0, 0, 0, 0, 0, 0, 0}},
        {CMD_COUNT, 0x01020304, {0, 0, 0, 3, 1, 2, 3, 4}},
        {CMD_TO_CLIENT, 65536, {0, 0, 0, 2, 0, 1, 0, 0}},
    };
    for (const auto& c : cases) {
        SocketPair pair = make_pair();
        ASSERT_EQ(send_message(pair.near.fd(), make_control_message(c.command, c.value)), 0);
        EXPECT_EQ(read_bytes(pair.far.fd(), 8), c.bytes);

        ASSERT_EQ(send(pair.far.fd(), c.bytes.data(), 8, 0), 8);
        ControlMessage received{};
        ASSERT_EQ(recv_message(pair.near.fd(), received), 0);
        EXPECT_EQ(message_command(received), c.command);
        EXPECT_EQ(message_value(received), c.value);
    }
}

TEST(ControlMessage, ShortAndFailedTransfers) {
    SocketPair pair = make_pair();
    const unsigned char half[4] = {0, 0, 0, 1};
    ASSERT_EQ(send(pair.far.fd(), half, sizeof half, 0), 4);
    pair.far = Socket();
    ControlMessage message{};
    EXPECT_EQ(recv_message(pair.near.fd(), message), 1) << "four bytes then a close";
    EXPECT_EQ(recv_message(pair.near.fd(), message), 1) << "a closed peer";

    // A send to a peer that is gone fails without ending the process by SIGPIPE.
    testing::internal::CaptureStderr();
    EXPECT_EQ(send_message(pair.near.fd(), make_control_message(CMD_END, 0)), -1);
    EXPECT_EQ(recv_message(-1, message), -1);
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_NE(errors.find("send(): "), std::string::npos) << errors;
    EXPECT_NE(errors.find("recv(): "), std::string::npos) << errors;
}

}  // namespace
