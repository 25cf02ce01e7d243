// The texts a user sees for a validation result code, and the result text an
// entry shows ("[code] message").
//
// Pure functions, no state; callable from any thread.
#pragma once

#include <cstdint>
#include <string>

namespace orvane::engine {

// Result codes a session reports besides SMTP reply codes and socket codes.
enum ResultCode : std::int32_t {
  kResultValid = 0,
  kResultNoMailHost = -1,
  kResultTimeOut = -2,
  kResultOpenFailed = -3,
  kResultRcptFailed = -4,
  kResultMailFromFailed = -5,
  kResultQuitFailed = -6,
  kResultAborted = -8,
};

// The message of a result code: "Valid E-mail Address!" for 0, the table's
// message for a known code, "Recipient's  SMTP server returned error %d" for
// any other positive code. Negative codes outside the table (never reported by
// a session) get the same generic text with the code, so no code is shown
// without a message.
std::string resultMessage(std::int32_t code);

}  // namespace orvane::engine
