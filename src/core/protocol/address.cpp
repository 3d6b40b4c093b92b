#include "core/protocol/address.hpp"

#include "core/protocol/names.hpp"
#include "core/crypto/siphash.hpp"

namespace zun {

std::optional<ProtocolAddress> parse_uri(std::string_view uri) {
    if (!uri.starts_with(kAddressScheme)) return std::nullopt;
    const std::string_view rest = uri.substr(kAddressScheme.size());
    const std::size_t first = rest.find('/');
    if (first == std::string_view::npos) return std::nullopt;
    const std::size_t second = rest.find('/', first + 1);
    if (second == std::string_view::npos) return std::nullopt;
    const auto address_class = enum_from_name<AddressClass>(rest.substr(0, first));
    if (!address_class) return std::nullopt;
    return ProtocolAddress{
        *address_class,
        std::string(rest.substr(first + 1, second - first - 1)),
        std::string(rest.substr(second + 1)),
    };
}

std::string to_uri(const ProtocolAddress& address) {
    const std::string_view class_name = name_of(address.address_class);
    std::string uri;
    uri.reserve(kAddressScheme.size() + class_name.size() + address.type.size() + address.ref.size() + 2);
    uri.append(kAddressScheme).append(class_name).append(1, '/');
    uri.append(address.type).append(1, '/').append(address.ref);
    return uri;
}

std::int64_t content_hash(const ProtocolAddress& address) noexcept {
    // The 0xFF after each text cannot occur in UTF-8, so it ends the text
    // unambiguously: ("a", "bc") and ("ab", "c") hash apart.
    SipHasher13 hasher(0, 0);
    hasher.write_u64(static_cast<std::uint64_t>(address.address_class));
    hasher.write(address.type);
    hasher.write_u8(0xFF);
    hasher.write(address.ref);
    hasher.write_u8(0xFF);
    const auto hash = static_cast<std::int64_t>(hasher.finish());
    // Python reserves -1 for "error" in hash slots.
    return hash == -1 ? -2 : hash;
}

}  // namespace zun
