// The console's one page: state, Start and Stop, and the live log. It talks
// to the JSON API of WebControlPlugin.h and carries the token it was opened
// with (?token=...) on every request.
#pragma once

namespace webcontrol {

extern const char* const kConsolePage;

}  // namespace webcontrol
