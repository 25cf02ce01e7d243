// The flags an address carries beside its verdict: disposable (a throw-away
// provider's domain), role (a mailbox of a function such as info@ rather than
// of a person), free (a free mail provider's domain) and extracted (the entry's
// text holds more than the address that was checked). Flags never change a
// verdict; they travel beside it.
//
// Value types and pure functions; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace orvane {

enum class AddressFlag : std::uint8_t { Disposable = 1, Role = 2, Free = 4, Extracted = 8 };

// Every flag, in the order outputs list them.
inline constexpr AddressFlag kAddressFlags[] = {AddressFlag::Disposable, AddressFlag::Role,
                                                AddressFlag::Free, AddressFlag::Extracted};

// A set of flags.
class AddressFlags {
 public:
  constexpr AddressFlags() = default;
  constexpr AddressFlags(AddressFlag flag) : bits_(static_cast<std::uint8_t>(flag)) {}
  static constexpr AddressFlags all() { return fromBits(0x0F); }
  static constexpr AddressFlags fromBits(std::uint8_t bits) {
    AddressFlags f;
    f.bits_ = bits & 0x0F;
    return f;
  }

  constexpr bool has(AddressFlag flag) const {
    return (bits_ & static_cast<std::uint8_t>(flag)) != 0;
  }
  constexpr bool empty() const { return bits_ == 0; }
  constexpr std::uint8_t bits() const { return bits_; }
  constexpr void set(AddressFlag flag, bool on = true) {
    const auto bit = static_cast<std::uint8_t>(flag);
    bits_ = on ? (bits_ | bit) : (bits_ & ~bit);
  }
  constexpr AddressFlags operator|(AddressFlags other) const {
    return fromBits(bits_ | other.bits_);
  }
  constexpr AddressFlags operator&(AddressFlags other) const {
    return fromBits(bits_ & other.bits_);
  }
  constexpr AddressFlags& operator|=(AddressFlags other) { return *this = *this | other; }
  friend constexpr bool operator==(AddressFlags, AddressFlags) = default;

 private:
  std::uint8_t bits_ = 0;
};

constexpr AddressFlags operator|(AddressFlag a, AddressFlag b) {
  return AddressFlags(a) | AddressFlags(b);
}

// "disposable", "role", "free", "extracted".
std::string_view flagName(AddressFlag flag);

// The names of the flags in `flags`, in the order of kAddressFlags, joined by
// `separator`: "disposable,role"; "" for no flag.
std::string flagsText(AddressFlags flags, std::string_view separator = ",");

// Reads a list of flag names separated by "," (blanks around a name allowed,
// any case), as an option such as "--exclude disposable,role" gives it. False
// when a name is not a flag's; `badName` then holds it. "" gives no flag.
bool parseFlagNames(std::string_view text, AddressFlags& flags, std::string* badName = nullptr);

}  // namespace orvane
