// KsHeaderEscape: the escaping of header names and values from STOMP 1.1 on.
// On the wire a backslash stands for itself doubled ("\\"), a colon for
// "\c", a line feed for "\n" and, from 1.2 on, a carriage return for "\r".
// A NUL can be written in no version, a carriage return not under 1.1;
// under 1.0 nothing is escaped (KsStompFrame refuses what 1.0 cannot carry).
//
// Writing: EscapedSize says how long a text becomes (or that it cannot be
// written), AppendEscaped writes it. Reading: Unescape turns a received text
// back, and fails on an escape that the version does not define (a
// backslash before any other byte, or at the end), which makes the frame
// unusable.
//
// Threads: pure functions; any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "stomp/KsStompVersion.hpp"

namespace ks {

// The position of the first byte of text that an escaping version treats
// specially (backslash, ':', LF, CR, NUL), or npos.
std::size_t FindEscapeByte(std::string_view text) noexcept;

// The size of text once escaped for version (1.1 or later), or npos when it
// holds a byte the version cannot carry.
std::size_t EscapedSize(std::string_view text, TKsStompVersion version) noexcept;

// Writes text escaped to out (room for EscapedSize bytes) and answers the
// end of what it wrote. text must be writable (EscapedSize not npos).
char* AppendEscaped(char* out, std::string_view text) noexcept;

// Appends text with its escapes resolved to out. False when an escape is
// not defined for version (out then holds an unspecified part).
bool Unescape(std::string_view text, TKsStompVersion version, std::string& out);

}  // namespace ks
