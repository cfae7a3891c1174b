#include "core/client_allow.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

in6_addr address_of(const std::string& text) {
    in6_addr address{};
    EXPECT_EQ(inet_pton(AF_INET6, text.c_str(), &address), 1) << text;
    return address;
}

TEST(AllowList, MalformedListsAreRefused) {
    for (const char* text : {"",
                             ",",
                             "2001:db8::/32,",
                             ",::1",
                             "2001:db8::/129",
                             "10.0.0.0/33",
                             "abc/8",
                             "abc",
                             "2001:db8::/",
                             "2001:db8::/-1",
                             "2001:db8::/+8",
                             "2001:db8::/ 8",
                             "2001:db8::/8x",
                             "2001:db8::/0008",
                             "10.0.0.0/8 ",
                             " 10.0.0.0/8",
                             "10.0.0/8",
                             "10.0.0.256",
                             "2001:db8::1::2",
                             "::1/64/64",
                             "2001:db8::%eth0",
                             "::1,,::2"}) {
        EXPECT_FALSE(parse_prefix_list(text)) << '"' << text << '"';
    }
}

// Which addresses a list lets in: IPv4 prefixes match the IPv4-mapped addresses a server
// on the IPv6 unspecified address sees, and host bits in a prefix are ignored.
TEST(AllowList, MatchesAddressesInItsPrefixes) {
    const struct {
        const char* list;
        const char* address;
        bool allowed;
    } cases[] = {
        {"2001:db8::/32", "2001:db8:ffff::1", true},
        {"2001:db8::/32", "2001:db9::1", false},
        {"2001:db8::/32", "::ffff:32.1.13.184", false},
        {"192.0.2.0/24", "::ffff:192.0.2.200", true},
        {"192.0.2.0/24", "::ffff:192.0.3.1", false},
        {"192.0.2.0/24", "::c000:201", false},  // not the mapped form
        {"192.0.2.7", "::ffff:192.0.2.7", true},
        {"192.0.2.7", "::ffff:192.0.2.8", false},
        {"192.0.2.7/24", "::ffff:192.0.2.99", true},
        {"::1", "::1", true},
        {"::1", "::2", false},
        {"fd00::/7", "fdff::1", true},
        {"fd00::/7", "fe00::1", false},
        {"fd00::/9", "fd7f::1", true},
        {"fd00::/9", "fd80::1", false},
        {"0.0.0.0/0", "::ffff:203.0.113.9", true},
        {"0.0.0.0/0", "2001:db8::1", false},
        {"::/0", "2001:db8::1", true},
        {"::/0", "::ffff:203.0.113.9", true},
        {"2001:db8::/128", "2001:db8::", true},
        {"2001:db8::/32,192.0.2.0/24,::1", "::1", true},
        {"2001:db8::/32,192.0.2.0/24,::1", "::ffff:192.0.2.1", true},
        {"2001:db8::/32,192.0.2.0/24,::1", "fe80::1", false},
    };
    for (const auto& c : cases) {
        const auto prefixes = parse_prefix_list(c.list);
        ASSERT_TRUE(prefixes) << c.list;
        const in6_addr address = address_of(c.address);
        bool allowed = false;
        for (const AddressPrefix& prefix : *prefixes) {
            allowed = allowed || prefix_matches(prefix, address);
        }
        EXPECT_EQ(allowed, c.allowed) << c.list << " and " << c.address;
    }
}

}  // namespace
