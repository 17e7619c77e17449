#include "context/Settings.h"

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <system_error>
#include <vector>

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/Numbers.h"
#include "base/SafeFile.h"

namespace skyvane {

namespace {

// A stored "Save FITS as" value as the setting it stands for: 1 and 2 are formats of their
// own, anything else is the default.
int SaveFormatSetting(int value)
{
    return value == SaveFitsFloat32 || value == SaveFitsUnsigned16 ? value : SaveFitsInteger16;
}

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

// Replaces the file with the text, in one step (ReplaceFile: permissions kept, nothing
// left behind).
bool writeProfile(const std::string& target, const ProfileText& text)
{
    std::string bytes;
    for (const std::string& line : text.lines)
        bytes += line;
    return ReplaceFile(target, [&bytes](int fd) { return WriteAll(fd, bytes.data(), bytes.size()); }).replaced();
}

// An exclusive advisory lock on the settings file itself for one read-modify-write, so
// that two writers (two programs, or Preferences and a working-directory change) never
// lose each other's change. Each write replaces the file, so a writer that had to wait
// checks that the file it locked is still the one of that name, and otherwise locks the
// new one. A missing file is created (empty) to be locked.
class ProfileLock {
public:
    explicit ProfileLock(const std::string& target) : target_(target)
    {
        for (int attempt = 0; attempt < 1000; ++attempt) {
            created_ = false;
            fd_ = ::open(target.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
            if (fd_ < 0 && errno == ENOENT) {
                fd_ = ::open(target.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
                created_ = fd_ >= 0;
                if (fd_ < 0 && errno == EEXIST)
                    continue;
            }
            if (fd_ < 0)
                return;
            int locked = ::flock(fd_, LOCK_EX);
            while (locked != 0 && errno == EINTR)
                locked = ::flock(fd_, LOCK_EX);
            struct stat held {};
            struct stat named {};
            if (locked != 0 || ::fstat(fd_, &held) != 0 || !S_ISREG(held.st_mode)) {
                release();
                return;
            }
            if (::stat(target.c_str(), &named) == 0 && held.st_ino == named.st_ino && held.st_dev == named.st_dev)
                return;
            release(); // replaced while we waited: lock the new file
        }
    }
    ~ProfileLock() { release(); }
    ProfileLock(const ProfileLock&) = delete;
    ProfileLock& operator=(const ProfileLock&) = delete;

    bool held() const { return fd_ >= 0; }

    // After a write that did not happen: the empty file made for the lock goes again.
    void removeWhatWasCreated()
    {
        struct stat held {};
        struct stat named {};
        if (created_ && ::fstat(fd_, &held) == 0 && held.st_size == 0 && ::stat(target_.c_str(), &named) == 0 &&
            held.st_ino == named.st_ino && held.st_dev == named.st_dev)
            ::unlink(target_.c_str());
    }

private:
    void release()
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

    std::string target_;
    int fd_ = -1;
    bool created_ = false;
};

// Reads the file, lets change edit the text and writes it back, all under the lock; a
// missing folder is created. False, with the file as it was, when it could not be read or
// written or change refused.
bool UpdateProfile(const std::string& iniPath, const std::function<bool(ProfileText&)>& change)
{
    std::string target = iniPath;
    if (!FollowLinks(target))
        return false;
    std::error_code ec;
    const fs::path folder = fs::path(target).parent_path();
    if (!folder.empty()) {
        fs::create_directories(folder, ec);
        if (ec)
            return false;
    }
    ProfileLock lock(target);
    if (!lock.held())
        return false;
    std::optional<ProfileText> text = readProfile(target);
    const bool written = text && change(*text) && writeProfile(target, *text);
    if (!written)
        lock.removeWhatWasCreated();
    return written;
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
    return UpdateProfile(iniPath, [&](ProfileText& text) { return applySetting(text, section, key, value); });
}

namespace {

constexpr std::string_view GammaWord = "Gamma ";

} // namespace

std::string EqualisationText(const TransferFunction& function)
{
    switch (function.kind) {
    case TransferKind::Linear:
        break;
    case TransferKind::Logarithm:
        return "Logarithm";
    case TransferKind::Gamma:
        return std::string(GammaWord) + FormatReal(function.gamma, 15);
    case TransferKind::Midtones:
        return "Midtones " + FormatReal(function.midtones, MidtonesDigits);
    }
    return "Linear";
}

TransferFunction ParseEqualisation(std::string_view text)
{
    if (text == "Logarithm")
        return TransferFunction::Logarithm();
    if (text.substr(0, GammaWord.size()) == GammaWord) {
        const std::string_view number = text.substr(GammaWord.size());
        const double gamma = ParseReal(number);
        if (StartsWithNumber(number) && GammaAccepted(gamma))
            return TransferFunction::Gamma(gamma);
    }
    return TransferFunction::Linear();
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
    settings.SaveFitsAs = SaveFormatSetting(ParseInteger(lookUp(text, ProcessingSection, SaveFitsAsKey)));
    settings.Equalisation = ParseEqualisation(lookUp(text, DisplaySection, EqualisationKey));
    (void)ParseNormalisation(lookUp(text, CoadditionSection, NormalisationKey), settings.Stacking.normalisation);
    (void)ParseWeighting(lookUp(text, CoadditionSection, WeightsKey), settings.Stacking.weighting);
    return settings;
}

void WritePreferences(const std::string& iniPath, const Settings& settings)
{
    // The five keys go in one replacement of the file, in this order (new keys are appended
    // in it): either all of them reach the file or none does.
    const auto applyAll = [&settings](ProfileText& text) {
        applySetting(text, ProcessingSection, HeadersCombo1Key, FormatInteger(settings.HeadersCombo1));
        applySetting(text, ProcessingSection, HeadersCombo2Key, FormatInteger(settings.HeadersCombo2));
        applySetting(text, ProcessingSection, HeadersCombo3Key, FormatInteger(settings.HeadersCombo3));
        applySetting(text, ProcessingSection, HeadersCheck1Key, settings.HeadersCheck1 ? "true" : "false");
        applySetting(text, ProcessingSection, HeadersEdit1Key, FormatReal(settings.ZeroDivisionValue, 15));
        const int stored = SaveFormatSetting(ParseInteger(lookUp(text, ProcessingSection, SaveFitsAsKey)));
        if (stored != SaveFormatSetting(settings.SaveFitsAs))
            applySetting(text, ProcessingSection, SaveFitsAsKey, FormatInteger(SaveFormatSetting(settings.SaveFitsAs)));
        return true;
    };
    // Nobody is told when the file cannot be written; the values in memory stand anyway.
    (void)UpdateProfile(iniPath, applyAll);
}

} // namespace skyvane
