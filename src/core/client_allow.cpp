#include "core/client_allow.h"

#include <arpa/inet.h>

#include <algorithm>
#include <string>
#include <string_view>

#include "core/run_config.h"

namespace {

constexpr int IPV6_BITS = 128;
constexpr int IPV4_BITS = 32;
constexpr int MAPPED_PREFIX_BITS = IPV6_BITS - IPV4_BITS;  // ::ffff:0:0/96

// A prefix length: one to three digits, no sign or spaces, at most most.
std::optional<int> parse_length(std::string_view text, int most) {
    if (text.empty() || text.size() > 3 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    const int length = std::stoi(std::string(text));
    return length <= most ? std::optional(length) : std::nullopt;
}

std::optional<AddressPrefix> parse_prefix(std::string_view item) {
    const size_t slash = item.find('/');
    const std::string address(item.substr(0, slash));
    AddressPrefix prefix;
    int most = IPV6_BITS;
    int offset = 0;
    in_addr ipv4{};
    if (inet_pton(AF_INET6, address.c_str(), &prefix.address) != 1) {
        if (inet_pton(AF_INET, address.c_str(), &ipv4) != 1) {
            return std::nullopt;
        }
        prefix.address.s6_addr[10] = 0xff;
        prefix.address.s6_addr[11] = 0xff;
        std::copy_n(reinterpret_cast<const unsigned char*>(&ipv4), sizeof ipv4,
                    prefix.address.s6_addr + 12);
        most = IPV4_BITS;
        offset = MAPPED_PREFIX_BITS;
    }
    int length = most;
    if (slash != std::string_view::npos) {
        const std::optional<int> given = parse_length(item.substr(slash + 1), most);
        if (!given) {
            return std::nullopt;
        }
        length = *given;
    }
    prefix.length = offset + length;
    // Host bits are cleared, so that 192.0.2.7/24 means 192.0.2.0/24 as routers read it.
    for (int bit = prefix.length; bit < IPV6_BITS; ++bit) {
        prefix.address.s6_addr[bit / 8] &= static_cast<unsigned char>(~(0x80U >> (bit % 8)));
    }
    return prefix;
}

}  // namespace

std::optional<std::vector<AddressPrefix>> parse_prefix_list(const char* text) {
    std::vector<AddressPrefix> prefixes;
    std::string_view rest(text);
    for (;;) {
        const size_t comma = rest.find(',');
        const std::optional<AddressPrefix> prefix = parse_prefix(rest.substr(0, comma));
        if (!prefix) {
            return std::nullopt;
        }
        prefixes.push_back(*prefix);
        if (comma == std::string_view::npos) {
            return prefixes;
        }
        rest.remove_prefix(comma + 1);
    }
}

bool prefix_matches(const AddressPrefix& prefix, const in6_addr& address) {
    const int whole = prefix.length / 8;
    if (!std::equal(address.s6_addr, address.s6_addr + whole, prefix.address.s6_addr)) {
        return false;
    }
    const int rest = prefix.length % 8;
    if (rest == 0) {
        return true;
    }
    const auto mask = static_cast<unsigned char>(0xff00U >> rest);
    return (address.s6_addr[whole] & mask) == prefix.address.s6_addr[whole];
}

bool client_allowed(const in6_addr& address) {
    const std::vector<AddressPrefix>& allowed = run_config.allowed_clients;
    return allowed.empty() ||
           std::any_of(allowed.begin(), allowed.end(), [&](const AddressPrefix& prefix) {
               return prefix_matches(prefix, address);
           });
}
