// A configuration setting as plain text, for telling whether two settings
// say the same: the text holds every name, type and value below the
// setting, and nothing of how the file was written (spacing, comments,
// the line it sits on, an @include). A reload compares a protocol's entry
// this way, and the host's status names the configuration in force by the
// hash of its whole tree's text.
#pragma once

#include <libconfig.h++>
#include <string>

namespace setting_text {

// Two settings have the same text exactly when they hold the same names,
// types and values, in the same order.
std::string of(const libconfig::Setting& setting);

// The configuration's fingerprint: 16 hex digits (FNV-1a, 64 bits) of the
// text of its root. Shown to operators, never trusted for security.
std::string hashOf(const libconfig::Config& config);

}  // namespace setting_text
