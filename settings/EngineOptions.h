// The saved options as the validation engine takes them: the store's texts
// read as the numbers and flags a run is configured from. Lives with the
// store so that the engine itself needs no Qt.
//
// Pure reads of the store; user-interface / event-loop thread (the store's).
#pragma once

#include "engine/ConfigureEngine.h"

namespace orvane::settings {

class TINI;

// The saved options of `ini` (connections and time-out read as whole
// numbers; the engine turns 0 or less into its defaults).
engine::EngineSettings readEngineSettings(const TINI& ini);

}  // namespace orvane::settings
