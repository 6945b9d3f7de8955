// Puts the engine state back to its load-time values before each input, so
// that what one input leaves behind (options, password text, a kept archive
// comment, registrations) never shapes the next: a finding then reproduces
// from its own input alone.
#pragma once

#include <cstdlib>
#include <new>

#include "api/engine.h"

namespace vxfuzz {

inline void ResetEngine() {
    vardex::EngineState& e = vardex::engine();
    void* module = e.moduleHandle;
    vardex::OverwriteCheckFn check = e.overwriteCheck;
    free(e.archive.comment);
    e.~EngineState();
    new (&e) vardex::EngineState();
    e.moduleHandle = module;
    e.overwriteCheck = check;
}

}  // namespace vxfuzz
