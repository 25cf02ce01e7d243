// What a validation result means for a list cleaner: valid (keep), invalid
// (remove), catch-all (the domain accepts any address: the answer proves
// nothing) or unknown (nothing sure is known: keep and try later). The engine
// decides the verdict of a live result (engine/Outcome.h) and writes it into
// the result text it reports; this file derives the same verdict again from a
// stored result text "[code] message", so a project reloaded from its file
// (which holds no verdict) shows the verdicts it had.
//
// The messages below are the ones the derivation depends on; the engine uses
// exactly these texts for the results they mark. Pure functions, any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/TypoSuggest.h"

namespace orvane {

enum class Verdict : std::uint8_t { None, Valid, Invalid, CatchAll, Unknown };

// "valid", "invalid", "catch-all", "unknown"; "" for None.
std::string_view verdictName(Verdict verdict);

inline constexpr std::string_view kCatchAllMessage =
    "Valid E-mail Address! (catch-all domain: it accepts any address)";
inline constexpr std::string_view kInvalidDomainMessage = "Failed: Invalid Domain Name";
inline constexpr std::string_view kMailboxUnavailableMessage = "Mailbox unavailable";
inline constexpr std::string_view kUserNotLocalMessage = "User not local";
inline constexpr std::string_view kNotAnAddressPrefix = "Not an e-mail address";

// The result text an entry shows: "[code] message". The one place that
// writes it; parseResultText the one that reads it.
std::string resultText(std::int32_t code, std::string_view message);

// Splits a result text "[code] message"; false when `text` is not one.
bool parseResultText(std::string_view text, std::int32_t& code, std::string_view& message);

// What a stored result text tells of DNS for the address's domain: it has
// mail hosts (the address was answered by one), it does not exist (or takes
// no mail), its mail host's name does not resolve (11001), or nothing known.
DomainDns domainDnsOfResultText(std::string_view text);

// The verdict of a result text as an entry stores it:
//   code 0: catch-all for kCatchAllMessage, else valid;
//   code -1: invalid for kInvalidDomainMessage or a message starting with
//            kNotAnAddressPrefix, else unknown (a DNS server's failure);
//   code 11001 (a host name that does not exist): invalid;
//   codes 500-599: invalid for kMailboxUnavailableMessage and
//            kUserNotLocalMessage, else unknown (a policy block, a full
//            mailbox, our probe refused);
//   any other code: unknown. Not a result text ("", "Checking..."): None.
Verdict verdictOfResultText(std::string_view text);

}  // namespace orvane
