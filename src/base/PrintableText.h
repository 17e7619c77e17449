#pragma once

#include <string>
#include <string_view>

namespace skyvane {

// Text from files (names, header cards, the FITS library's reports about them) made safe
// for a terminal: control characters (C0, DEL, and C1 written as UTF-8) and bytes that are
// not UTF-8 are written as \xNN, so a hostile file cannot move the cursor, retitle the
// window or answer for the user. Printable ASCII and well-formed UTF-8 pass unchanged.
std::string PrintableText(std::string_view text);

// A text of the program's own, whose line breaks ("\n") are its own: each line made
// printable as above, the line breaks kept, so that a message of two lines is written as
// two lines. A piece from outside put into such a text (a path, a card, a library's
// report) goes through PrintableText first, so that a line break of its own cannot start
// a line.
std::string PrintableLines(std::string_view text);

} // namespace skyvane
