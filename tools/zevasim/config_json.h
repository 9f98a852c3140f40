// The JSON description of a simulated bus (zevasim --config FILE).
#pragma once

#include <string>

#include "sim/setup.h"

namespace zeva::zevasim {

// Merges the JSON text into `setup`: settings given in the text replace
// those in `setup`, devices and events are appended. False with the reason
// in `error` on a syntax error, an unknown key or a value out of range.
bool LoadSetupJson(const std::string& text, sim::SimSetup* setup, std::string* error);

// The schema, for --help.
extern const char* const kConfigSchemaHelp;

}  // namespace zeva::zevasim
