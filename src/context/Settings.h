#pragma once

#include <string>
#include <string_view>

#include "display/TransferFunction.h"
#include "processing/Normalisation.h"

namespace skyvane {

// "Save FITS as": 16-bit integers 0..32767 (the default, also for any value but 1 and 2),
// 32-bit floating point keeping every value, or unsigned 16-bit integers 0..65535 (BZERO
// 32768, as cameras write).
inline constexpr int SaveFitsInteger16 = 0;
inline constexpr int SaveFitsFloat32 = 1;
inline constexpr int SaveFitsUnsigned16 = 2;

// The values that outlive a run, kept in the private-profile file "Skyvane.ini":
//   [PATH]                          Working path=...
//   [Image processing parameters]   Headers combo 1/2/3, Headers check 1, Headers edit 1,
//                                   Save FITS as
//   [Display]                       Equalisation=Linear, Logarithm or Gamma G
//   [Co-addition]                   Normalisation=none, additive, multiplicative or
//                                   additive+scale; Weights=none or noise
struct Settings {
    std::string WorkingDirectory;  // "PATH" / "Working path"; empty when absent
    int HeadersCombo1 = 0;         // header option, Image A combined with Image B
    int HeadersCombo2 = 0;         // header option, a list combined with Image B (shown only)
    int HeadersCombo3 = 0;         // header option of a co-added list
    bool HeadersCheck1 = false;    // "SKYVANE header" flag (shown only)
    double ZeroDivisionValue = 0;  // "Headers edit 1"
    int SaveFitsAs = SaveFitsInteger16; // "Save FITS as": how "Save FITS" stores pixels
    std::string LastImageFolder;   // first folder of the Image list window's open dialog
    TransferFunction Equalisation; // "Display" / "Equalisation"; linear when absent
    StackingChoice Stacking;       // "Co-addition" / "Normalisation" and "Weights"; none when
                                   // absent or not one of the words
};

inline constexpr std::string_view SettingsFileName = "Skyvane.ini";
inline constexpr std::string_view PathSection = "PATH";
inline constexpr std::string_view WorkingPathKey = "Working path";
inline constexpr std::string_view ProcessingSection = "Image processing parameters";
inline constexpr std::string_view HeadersCombo1Key = "Headers combo 1";
inline constexpr std::string_view HeadersCombo2Key = "Headers combo 2";
inline constexpr std::string_view HeadersCombo3Key = "Headers combo 3";
inline constexpr std::string_view HeadersCheck1Key = "Headers check 1";
inline constexpr std::string_view HeadersEdit1Key = "Headers edit 1";
inline constexpr std::string_view SaveFitsAsKey = "Save FITS as";
inline constexpr std::string_view DisplaySection = "Display";
inline constexpr std::string_view EqualisationKey = "Equalisation";
inline constexpr std::string_view CoadditionSection = "Co-addition";
inline constexpr std::string_view NormalisationKey = "Normalisation";
inline constexpr std::string_view WeightsKey = "Weights";

// The equalisation as the settings file and the Thresholds window name it: "Linear",
// "Logarithm", "Gamma " + gamma (FormatReal, 15 digits); the automatic stretch, which
// the settings file never keeps, as "Midtones " + its balance (MidtonesDigits).
std::string EqualisationText(const TransferFunction& function);
// The reverse, exact words only; anything else, and a gamma outside 0.1..10, is linear.
TransferFunction ParseEqualisation(std::string_view text);

// $XDG_CONFIG_HOME/Skyvane.ini, or ~/.config/Skyvane.ini when XDG_CONFIG_HOME is unset or
// empty.
std::string DefaultSettingsPath();

// Reads one key of one section; sections and keys are matched case-insensitively (ASCII),
// blanks around the key and after "=" are skipped, and the value is otherwise returned as
// it stands, of any length. The first matching key line in file order serves. A missing
// or unreadable file, section or key reads as the empty text.
std::string ReadProfileString(const std::string& iniPath, std::string_view section, std::string_view key);

// Writes one key of one section, keeping every other line of the file byte for byte;
// creates the section or the file when missing. The file is replaced whole (ReplaceFile:
// a new file, then a rename), so an interrupted write never leaves half a file; a missing
// folder is created. The read, the change and the write happen under an exclusive lock on
// the file, so two writers at once (two programs) never lose each other's change. A new key goes after the last key of its section, a new section at
// the end; new lines take the file's line ends (CR LF when its first line has one).
// Returns false, leaving the file as it was, when the file could not be read or written,
// or when a text would not fit on its line (a line break anywhere, "=" in the key, "]" in
// the section): a folder name with a line break must not plant lines of its own.
bool WriteSetting(const std::string& iniPath, std::string_view section, std::string_view key, std::string_view value);

// Reads the ten values (combo values and "Save FITS as" with ParseInteger, the flag true
// only for the exact text "true", the zero value with ParseReal, the equalisation with
// ParseEqualisation, normalisation and weights with ParseNormalisation and ParseWeighting)
// and gives LastImageFolder its first value, the working directory.
Settings LoadSettings(const std::string& iniPath);

// "OK" in Preferences: writes the five "Image processing parameters" keys in order:
// combos 1, 2, 3 (FormatInteger), check ("true"/"false"), edit (FormatReal, 15 digits).
// The file is replaced once with all five, giving the same text as five WriteSetting calls
// in that order. Then "Save FITS as" (FormatInteger), only when it differs from the file's
// (a missing key reads as 16-bit), so a file whose user never chose 32-bit keeps its bytes.
// A failure is not reported.
void WritePreferences(const std::string& iniPath, const Settings& settings);

} // namespace skyvane
