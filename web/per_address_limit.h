// Places counted per remote IPv4 address (connections, or tabs), so that one
// host cannot take all the gateway has and shut everyone else out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <utility>

namespace conf::web {

// 127.0.0.1 has no limits: the gateway's own machine runs its benchmark with
// 100 tabs and the demo from it. Other loopback addresses count as hosts of
// their own, so that tests can play several LAN hosts on one machine.
inline bool unlimited_address(std::uint32_t address) { return address == 0x7F000001u; }

class PerAddressLimit {
public:
    explicit PerAddressLimit(std::size_t limit) : limit_(limit) {}

    // `address` in host byte order.
    bool take(std::uint32_t address) {
        if (unlimited_address(address)) return true;
        std::size_t& taken = taken_[address];
        if (taken >= limit_) return false;
        ++taken;
        return true;
    }

    void give_back(std::uint32_t address) {
        if (unlimited_address(address)) return;
        const auto entry = taken_.find(address);
        if (entry == taken_.end()) return;
        if (--entry->second == 0) taken_.erase(entry);
    }

    std::size_t limit() const { return limit_; }
    // Addresses that hold places now.
    std::size_t addresses() const { return taken_.size(); }

private:
    std::size_t limit_;
    std::unordered_map<std::uint32_t, std::size_t> taken_;
};

// One place of an address, taken at construction if one is left, given back
// when its last holder is gone.
class AddressPlace {
public:
    AddressPlace() = default;
    AddressPlace(PerAddressLimit& limit, std::uint32_t address)
        : limit_(limit.take(address) ? &limit : nullptr), address_(address) {}
    AddressPlace(AddressPlace&& other) noexcept
        : limit_(std::exchange(other.limit_, nullptr)), address_(other.address_) {}
    AddressPlace& operator=(AddressPlace&& other) noexcept {
        if (this != &other) {
            release();
            limit_ = std::exchange(other.limit_, nullptr);
            address_ = other.address_;
        }
        return *this;
    }
    AddressPlace(const AddressPlace&) = delete;
    AddressPlace& operator=(const AddressPlace&) = delete;
    ~AddressPlace() { release(); }

    explicit operator bool() const { return limit_ != nullptr; }

private:
    void release() {
        if (limit_ != nullptr) limit_->give_back(address_);
        limit_ = nullptr;
    }

    PerAddressLimit* limit_ = nullptr;
    std::uint32_t address_ = 0;
};

}  // namespace conf::web
