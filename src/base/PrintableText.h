#pragma once

#include <string>
#include <string_view>

namespace skyvane {

// Text from files (names, header cards, the FITS library's reports about them) made safe
// for a terminal: control characters (C0, DEL, and C1 written as UTF-8) and bytes that are
// not UTF-8 are written as \xNN, so a hostile file cannot move the cursor, retitle the
// window or answer for the user. Printable ASCII and well-formed UTF-8 pass unchanged.
std::string PrintableText(std::string_view text);

} // namespace skyvane
