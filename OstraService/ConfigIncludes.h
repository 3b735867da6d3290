// The configuration language's @include directive, resolved by the host.
//
// The configuration library would open included files itself, but it
// looks for a relative name in the current folder (System32 for a Windows
// service), says only "cannot open include file" without naming it, and
// its scanner ends the whole process when the name is a folder. So the host
// puts each included file's text in place of its directive before the
// library parses the result, exactly as the library's scanner would have
// switched to that file: the directive must open its line
// (`@include "name"`, after blanks at most), the file's text replaces the
// directive, and what follows the closing quote on that line comes after
// it. Includes nest up to ten deep.
//
// A directive counts only where the library's scanner would see one: on a
// line that begins outside a /* */ comment and outside a string (strings
// may span lines); text after # or // is a comment to the end of its line.
//
// Decisions: a relative name is looked for beside the file that holds the
// directive; an absolute one is used as it is. In the name, `\\` and `\"`
// stand for a backslash and a quote, and any other backslash is kept, so
// Windows paths can be written as they are. A file holding a NUL byte (the
// configuration or an included one) is refused: the parser would stop
// reading there and silently drop the rest.
#pragma once

#include <string>
#include <vector>

namespace config_file {

// A line of a configuration file: which file, which line (from 1).
struct SourceLine {
    std::string file;
    int line = 0;
};

// Replaces every @include directive in `text`, which was read from a file
// in `folder`, by the text of the file it names, recursively. False with
// `error` naming the file at fault and why (missing, a folder, unreadable,
// nested too deep, a directive without its closing quote, a NUL byte).
bool expandIncludes(std::string& text, const std::string& folder, std::string& error);

// The same for the text of `file`, telling where each line of the result
// was written (`origins[i]` for line i + 1), so that a line the parser
// names can be shown in the file that holds it. On failure `failedAt` is
// the directive at fault, or the line holding the NUL byte.
bool expandIncludes(std::string& text, const std::string& file, std::vector<SourceLine>& origins,
                    SourceLine& failedAt, std::string& error);

}  // namespace config_file
