#include "engine/ResultMessages.h"

#include "core/RecipientList.h"
#include "core/Verdict.h"

#include <cstdio>

namespace orvane::engine {

std::string resultMessage(std::int32_t code) {
  switch (code) {
    case 0:
      return std::string(kValidText);
    case -8:
      return "Aborted by user";
    case -6:
      return "Could not perform the QUIT command";
    case -5:
      return "Could not perform the MAILFROM command";
    case -4:
      return "Could not perform the RCPT command";
    case -3:
      return "Could not perform the OPEN command";
    case -2:
      return "Time Out: Recipient's SMTP Server didn't respond";
    case -1:
    case 11001:
      return "Failed: Invalid Domain Name";
    case 450:
    case 550:
    case 553:
      return "Mailbox unavailable";
    case 452:
    case 552:
      return "Exceeded storage allocation. Try later";
    case 551:
      return "User not local";
    case 554:
      return "Transaction failed";
    case 10004:
    case 10061:
    case 10064:
      return "Conection refused or host is down. Try later";
    default:
      break;
  }
  char text[64];
  std::snprintf(text, sizeof text, "Recipient's  SMTP server returned error %d",
                static_cast<int>(code));
  return text;
}

}  // namespace orvane::engine
