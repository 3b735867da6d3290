// The tcpline wire format: one record per line.
//
//   KEY=value;KEY=value
//
// Pairs are separated by ';', key and value by the first unescaped '='.
// Inside keys and values a backslash escapes the characters that would end
// them: "\;" ';', "\=" '=', "\\" '\', "\n" line feed, "\r" carriage return.
// Keys are not empty and appear once in a line ("A=1;A=2" is refused, not
// quietly made one entry); empty pairs (";;", a trailing ';') are skipped,
// but a line must hold at least one pair. A NUL byte refuses the line; any
// other byte, UTF-8 or not, is taken as it is.
//
// Replies and events use the same pairs after a leading word:
//   0;ROW_ID=17       the host's result code, then the keys the databases
//                     added or changed in the record
//   EVENT;KEY=value   a record raised by one of the protocol's databases
//   ERROR;REASON=...  the line was refused (too long, malformed, ...)
#pragma once

#include <string>

class Record;

namespace tcpline {

// Parses `line` (without its line end) into `record`, appending entries in
// line order. False with `error` set when the line is malformed.
bool parseRecordLine(const std::string& line, Record& record, std::string& error);

// `text` with ';', '=', '\' and line ends escaped.
std::string escapeField(const std::string& text);

// `head` followed by ";KEY=value" for each entry of `record`.
std::string formatLine(const std::string& head, const Record& record);

// `head` followed by ";KEY=value" for each entry of `after` that `before`
// lacks or holds with another value.
std::string formatChanges(const std::string& head, const Record& before, const Record& after);

}  // namespace tcpline
