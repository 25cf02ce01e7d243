// The saved options as the validation engine takes them: the store's texts
// read as the numbers and flags a run is configured from. Lives with the
// store so that the engine itself needs no Qt.
//
// Pure reads of the store; user-interface / event-loop thread (the store's).
#pragma once

#include "core/AddressInsight.h"
#include "engine/ConfigureEngine.h"

namespace orvane::settings {

class TINI;

// The saved options of `ini` (connections and time-out read as whole
// numbers; the engine turns 0 or less into its defaults).
engine::EngineSettings readEngineSettings(const TINI& ini);

// The address lists for `flags`: the installed ones beside the program, and
// the user's own in the "lists" folder of the user's settings folder
// (UserKey::userFolder). Never throws; message() says what is missing.
AddressInsight loadAddressInsight(AddressFlags flags);

}  // namespace orvane::settings
