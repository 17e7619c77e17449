#include "shell/Settings.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <pwd.h>
#include <system_error>
#include <unistd.h>
#include <vector>

#include "command/Numbers.h"

namespace skyvane {

namespace {

namespace fs = std::filesystem;

// The file as lines, each kept with its own line end so that untouched lines are written
// back byte for byte.
struct ProfileText {
    std::vector<std::string> lines; // raw, line end included (the last may have none)
    std::string newline = "\n";     // what new lines end with: the file's own convention
};

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

std::string_view trimBlanks(std::string_view s)
{
    while (!s.empty() && isBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && isBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

char lowerAscii(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsNoCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lowerAscii(a[i]) != lowerAscii(b[i]))
            return false;
    }
    return true;
}

// A line without its line end ("\n" or "\r\n"); the first line also without a UTF-8 byte
// order mark, which editors like to add.
std::string_view content(const ProfileText& text, std::size_t i)
{
    std::string_view s = text.lines[i];
    if (!s.empty() && s.back() == '\n')
        s.remove_suffix(1);
    if (!s.empty() && s.back() == '\r')
        s.remove_suffix(1);
    if (i == 0 && s.substr(0, 3) == "\xEF\xBB\xBF")
        s.remove_prefix(3);
    return s;
}

// "[name]" (blanks around it and around the name allowed) gives the name.
std::optional<std::string_view> sectionName(std::string_view line)
{
    line = trimBlanks(line);
    if (line.size() < 2 || line.front() != '[')
        return std::nullopt;
    const std::size_t close = line.find(']');
    if (close == std::string_view::npos)
        return std::nullopt;
    return trimBlanks(line.substr(1, close - 1));
}

struct KeyLine {
    std::string_view key;
    std::string_view value;
};

// "key=value", with blanks around the key and after "=" tolerated; the value is otherwise
// taken as it stands (a folder may end in a blank). Comment lines (";") are not keys.
std::optional<KeyLine> keyLine(std::string_view line)
{
    const std::string_view start = trimBlanks(line);
    if (start.empty() || start.front() == ';' || start.front() == '[')
        return std::nullopt;
    const std::size_t eq = line.find('=');
    if (eq == std::string_view::npos)
        return std::nullopt;
    std::string_view value = line.substr(eq + 1);
    while (!value.empty() && isBlank(value.front()))
        value.remove_prefix(1);
    return KeyLine{trimBlanks(line.substr(0, eq)), value};
}

// Where a key lives: the first line of a matching section that carries it. When no
// matching section has it, `line` is empty and `sectionEnd` tells where a new key goes
// (after the last key of the first matching section, or after its header); no matching
// section at all leaves both empty.
struct KeyPlace {
    std::optional<std::size_t> line;
    std::optional<std::size_t> sectionEnd;
};

KeyPlace findKey(const ProfileText& text, std::string_view section, std::string_view key)
{
    KeyPlace place;
    bool inSection = false;
    bool inFirstSection = false;
    for (std::size_t i = 0; i < text.lines.size(); ++i) {
        const std::string_view line = content(text, i);
        if (const auto name = sectionName(line)) {
            inSection = equalsNoCase(*name, section);
            inFirstSection = inSection && !place.sectionEnd;
            if (inFirstSection)
                place.sectionEnd = i + 1;
            continue;
        }
        if (!inSection)
            continue;
        if (const auto entry = keyLine(line)) {
            if (equalsNoCase(entry->key, key)) {
                place.line = i;
                return place;
            }
            if (inFirstSection)
                place.sectionEnd = i + 1;
        }
    }
    return place;
}

// Reads the whole file. A missing file is an empty text; a file that exists but cannot be
// read gives nothing, so that a write never replaces what it could not see.
std::optional<ProfileText> readProfile(const std::string& iniPath)
{
    ProfileText text;
    std::error_code ec;
    if (!fs::exists(iniPath, ec))
        return ec ? std::nullopt : std::optional<ProfileText>(text);
    if (!fs::is_regular_file(iniPath, ec))
        return std::nullopt;
    std::ifstream in(iniPath, std::ios::binary);
    if (!in)
        return std::nullopt;
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad())
        return std::nullopt;
    std::size_t start = 0;
    while (start < bytes.size()) {
        const std::size_t nl = bytes.find('\n', start);
        const std::size_t end = nl == std::string::npos ? bytes.size() : nl + 1;
        text.lines.push_back(bytes.substr(start, end - start));
        start = end;
    }
    const std::size_t firstNl = bytes.find('\n');
    if (firstNl != std::string::npos && firstNl > 0 && bytes[firstNl - 1] == '\r')
        text.newline = "\r\n";
    return text;
}

std::string lookUp(const ProfileText& text, std::string_view section, std::string_view key)
{
    const KeyPlace place = findKey(text, section, key);
    if (!place.line)
        return {};
    return std::string(keyLine(content(text, *place.line))->value);
}

bool hasLineBreak(std::string_view s)
{
    return s.find_first_of("\r\n") != std::string_view::npos;
}

// Sets one key in the text. Refuses (false) names and values that the line format cannot
// hold: a line break would split the entry and plant the rest as a line of its own.
bool applySetting(ProfileText& text, std::string_view section, std::string_view key, std::string_view value)
{
    if (hasLineBreak(section) || hasLineBreak(key) || hasLineBreak(value) || section.find(']') != std::string_view::npos
        || key.find('=') != std::string_view::npos || trimBlanks(key).empty() || trimBlanks(key) != key
        || trimBlanks(section) != section)
        return false;
    std::string entry(key);
    entry += '=';
    entry += value;
    entry += text.newline;
    // A last line without line end gets one before anything follows it.
    auto closeLastLine = [&text] {
        if (!text.lines.empty() && text.lines.back().back() != '\n')
            text.lines.back() += text.newline;
    };
    const KeyPlace place = findKey(text, section, key);
    if (place.line) {
        std::string& line = text.lines[*place.line];
        const bool ended = !line.empty() && line.back() == '\n';
        line = ended ? entry : entry.substr(0, entry.size() - text.newline.size());
    } else if (place.sectionEnd) {
        const std::size_t at = *place.sectionEnd;
        if (at == text.lines.size())
            closeLastLine();
        else if (text.lines[at - 1].back() != '\n')
            text.lines[at - 1] += text.newline;
        text.lines.insert(text.lines.begin() + static_cast<std::ptrdiff_t>(at), entry);
    } else {
        closeLastLine();
        text.lines.push_back("[" + std::string(section) + "]" + text.newline);
        text.lines.push_back(entry);
    }
    return true;
}

// Writes the text to a new file beside the old one and renames it over the old one; the
// old file stays whole until the rename. The folder is created when missing, and the old
// file's permissions are kept.
bool writeProfile(const std::string& iniPath, const ProfileText& text)
{
    std::error_code ec;
    fs::path target(iniPath);
    // A settings file that is a link to a file elsewhere stays a link: write its target.
    // (A missing file reports "not found" through ec, which is no failure here.)
    if (fs::symlink_status(target, ec).type() == fs::file_type::symlink) {
        target = fs::weakly_canonical(target, ec);
        if (ec)
            return false;
    }
    ec.clear();
    if (target.has_parent_path()) {
        fs::create_directories(target.parent_path(), ec);
        if (ec)
            return false;
    }
    std::string bytes;
    for (const std::string& line : text.lines)
        bytes += line;
    const std::string temp = target.string() + ".new" + std::to_string(::getpid());
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
        return false;
    bool written = true;
    for (std::size_t done = 0; written && done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0)
            done += static_cast<std::size_t>(n);
        else if (!(n < 0 && errno == EINTR))
            written = false;
    }
    // On the disk before the rename, so that even a power cut leaves the old or the new file.
    written = written && ::fsync(fd) == 0;
    written = ::close(fd) == 0 && written;
    const fs::file_status old = fs::status(target, ec);
    if (written && fs::exists(old))
        fs::permissions(temp, old.permissions(), ec);
    ec.clear();
    if (written)
        fs::rename(temp, target, ec);
    if (!written || ec) {
        std::error_code ignored;
        fs::remove(temp, ignored);
        return false;
    }
    return true;
}

} // namespace

std::string DefaultSettingsPath()
{
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    std::string folder;
    // Only an absolute XDG_CONFIG_HOME counts; a relative one is to be ignored.
    if (xdg != nullptr && xdg[0] == '/') {
        folder = xdg;
    } else {
        const char* home = std::getenv("HOME");
        if (home == nullptr || home[0] == '\0') {
            const passwd* pw = ::getpwuid(::getuid());
            home = pw != nullptr ? pw->pw_dir : nullptr;
        }
        folder = std::string(home != nullptr ? home : "") + "/.config";
    }
    return folder + "/" + std::string(SettingsFileName);
}

std::string ReadProfileString(const std::string& iniPath, std::string_view section, std::string_view key)
{
    const std::optional<ProfileText> text = readProfile(iniPath);
    return text ? lookUp(*text, section, key) : std::string();
}

bool WriteSetting(const std::string& iniPath, std::string_view section, std::string_view key, std::string_view value)
{
    std::optional<ProfileText> text = readProfile(iniPath);
    if (!text || !applySetting(*text, section, key, value))
        return false;
    return writeProfile(iniPath, *text);
}

Settings LoadSettings(const std::string& iniPath)
{
    Settings settings;
    const std::optional<ProfileText> read = readProfile(iniPath);
    const ProfileText text = read ? *read : ProfileText{};
    settings.WorkingDirectory = lookUp(text, PathSection, WorkingPathKey);
    settings.LastImageFolder = settings.WorkingDirectory;
    settings.HeadersCombo1 = ParseInteger(lookUp(text, ProcessingSection, HeadersCombo1Key));
    settings.HeadersCombo2 = ParseInteger(lookUp(text, ProcessingSection, HeadersCombo2Key));
    settings.HeadersCombo3 = ParseInteger(lookUp(text, ProcessingSection, HeadersCombo3Key));
    settings.HeadersCheck1 = lookUp(text, ProcessingSection, HeadersCheck1Key) == "true";
    settings.ZeroDivisionValue = ParseReal(lookUp(text, ProcessingSection, HeadersEdit1Key));
    return settings;
}

void WritePreferences(const std::string& iniPath, const Settings& settings)
{
    // The five keys go in one replacement of the file, in this order (new keys are appended
    // in it): either all of them reach the file or none does.
    std::optional<ProfileText> text = readProfile(iniPath);
    if (!text)
        return;
    applySetting(*text, ProcessingSection, HeadersCombo1Key, FormatInteger(settings.HeadersCombo1));
    applySetting(*text, ProcessingSection, HeadersCombo2Key, FormatInteger(settings.HeadersCombo2));
    applySetting(*text, ProcessingSection, HeadersCombo3Key, FormatInteger(settings.HeadersCombo3));
    applySetting(*text, ProcessingSection, HeadersCheck1Key, settings.HeadersCheck1 ? "true" : "false");
    applySetting(*text, ProcessingSection, HeadersEdit1Key, FormatReal(settings.ZeroDivisionValue, 15));
    // Nobody is told when the file cannot be written; the values in memory stand anyway.
    (void)writeProfile(iniPath, *text);
}

} // namespace skyvane
