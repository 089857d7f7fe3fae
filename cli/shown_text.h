// Text that comes from outside the program (port names, device descriptions, paths) made safe to
// show on a terminal or in a line-based output.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The text with every control character escaped (\n, \r, \t, \e or \xNN; the C1 controls as
// \u0080..\u009f) and every byte that is not part of well-formed UTF-8 as \xNN, so that a name
// can neither start a line of its own nor send the terminal an escape sequence. Printable text,
// including every script's letters, stays as it is.
std::string Shown(std::string_view text);

// Length of the well-formed UTF-8 sequence that starts at text[i] (1 for ASCII), or 0 when the
// byte there starts none.
std::size_t Utf8SequenceLength(std::string_view text, std::size_t i);
