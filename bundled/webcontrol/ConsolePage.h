// The console's one page: state, Start and Stop, and the live log. It talks
// to the JSON API of WebControlPlugin.h and carries the token it was opened
// with (?token=...) on every request. Its style and script are files of
// their own (/console.css, /console.js), so that the page can forbid every
// inline script and style (kContentSecurityPolicy); they hold no secret and
// are served without the token.
#pragma once

namespace webcontrol {

extern const char* const kConsolePage;
extern const char* const kConsoleStyle;
extern const char* const kConsoleScript;
extern const char* const kContentSecurityPolicy;

}  // namespace webcontrol
