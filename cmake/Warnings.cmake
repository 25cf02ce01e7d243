# One place for the compiler warnings: every target of the project links
# orvane_warnings. CI turns them into errors with ORVANE_WERROR=ON.
add_library(orvane_warnings INTERFACE)
target_compile_options(orvane_warnings INTERFACE -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor)
if(ORVANE_WERROR)
  target_compile_options(orvane_warnings INTERFACE -Werror)
endif()
# Qt hygiene: no implicit conversions from 8-bit strings, and no API that Qt
# has deprecated up to the version we build with (6.4; the _BEFORE spelling
# is the one Qt 6.4 reads, _UP_TO the one later versions read).
target_compile_definitions(orvane_warnings INTERFACE
  QT_NO_CAST_FROM_ASCII QT_NO_CAST_TO_ASCII QT_NO_CAST_FROM_BYTEARRAY
  QT_NO_NARROWING_CONVERSIONS_IN_CONNECT
  QT_DISABLE_DEPRECATED_UP_TO=0x060400 QT_DISABLE_DEPRECATED_BEFORE=0x060400)
