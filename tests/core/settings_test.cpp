#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include "context/Settings.h"
#include "support/TestSupport.h"

namespace skyvane {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

std::string FileText(const std::string& path)
{
    const std::vector<unsigned char> bytes = test::ReadFileBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

std::vector<std::string> FolderEntries(const fs::path& folder)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Sets or clears an environment variable for the life of the object.
class ScopedEnv {
public:
    ScopedEnv(const char* name, std::optional<std::string> value) : name_(name)
    {
        if (const char* old = std::getenv(name))
            old_ = old;
        set(value);
    }
    ~ScopedEnv() { set(old_); }

private:
    void set(const std::optional<std::string>& value)
    {
        if (value)
            ::setenv(name_, value->c_str(), 1);
        else
            ::unsetenv(name_);
    }
    const char* name_;
    std::optional<std::string> old_;
};

TEST(Settings, DefaultPathFollowsXdgConfigHome)
{
    ScopedEnv home("HOME", "/home/astro");
    {
        ScopedEnv xdg("XDG_CONFIG_HOME", "/tmp/cfg");
        EXPECT_EQ(DefaultSettingsPath(), "/tmp/cfg/Skyvane.ini");
    }
    {
        ScopedEnv xdg("XDG_CONFIG_HOME", std::nullopt);
        EXPECT_EQ(DefaultSettingsPath(), "/home/astro/.config/Skyvane.ini");
    }
    {
        ScopedEnv xdg("XDG_CONFIG_HOME", "");
        EXPECT_EQ(DefaultSettingsPath(), "/home/astro/.config/Skyvane.ini");
    }
    {
        ScopedEnv xdg("XDG_CONFIG_HOME", "relative/cfg"); // not absolute: ignored
        EXPECT_EQ(DefaultSettingsPath(), "/home/astro/.config/Skyvane.ini");
    }
}

TEST(Settings, NoFileGivesTheDefaultsAndCreatesNothing)
{
    TempDir dir;
    const std::string ini = dir.file("Skyvane.ini");
    const Settings s = LoadSettings(ini);
    EXPECT_EQ(s.WorkingDirectory, "");
    EXPECT_EQ(s.LastImageFolder, "");
    EXPECT_EQ(s.HeadersCombo1, 0);
    EXPECT_EQ(s.HeadersCombo2, 0);
    EXPECT_EQ(s.HeadersCombo3, 0);
    EXPECT_FALSE(s.HeadersCheck1);
    EXPECT_EQ(s.ZeroDivisionValue, 0.0);
    EXPECT_TRUE(s.Equalisation.isLinear());
    EXPECT_EQ(ReadProfileString(ini, "PATH", "Working path"), "");
    EXPECT_TRUE(FolderEntries(dir.path()).empty());
}

TEST(Settings, LoadReadsEveryKeyTheWayItsRuleSays)
{
    TempDir dir;
    const std::string ini = dir.file("Skyvane.ini");
    test::WriteFileBytes(ini,
        "; written by hand\r\n"
        "[path]\r\n"
        "  working PATH  =  C:\\Astro data\\M 31\r\n"
        "\r\n"
        "[ Image Processing Parameters ]\r\n"
        "Headers combo 1=12.9\r\n"
        "headers combo 2 = -7x\r\n"
        "HEADERS COMBO 3=x7\r\n"
        "Headers check 1=TRUE\r\n"
        "Headers edit 1=1e6\r\n");
    const Settings s = LoadSettings(ini);
    EXPECT_EQ(s.WorkingDirectory, "C:\\Astro data\\M 31");
    EXPECT_EQ(s.LastImageFolder, "C:\\Astro data\\M 31");
    EXPECT_EQ(s.HeadersCombo1, 12);
    EXPECT_EQ(s.HeadersCombo2, -7);
    EXPECT_EQ(s.HeadersCombo3, 0);
    EXPECT_FALSE(s.HeadersCheck1);
    EXPECT_EQ(s.ZeroDivisionValue, 1000000.0);
}

TEST(Settings, FlagIsTrueOnlyForTheExactText)
{
    struct Case {
        const char* text;
        bool flag;
    };
    const Case cases[] = {{"true", true}, {" true", true}, {"True", false}, {"TRUE", false}, {"1", false},
        {"yes", false}, {"", false}, {"truex", false}, {"true ", false}};
    TempDir dir;
    const std::string ini = dir.file("Skyvane.ini");
    for (const Case& c : cases) {
        test::WriteFileBytes(ini, std::string("[Image processing parameters]\nHeaders check 1=") + c.text + "\n");
        EXPECT_EQ(LoadSettings(ini).HeadersCheck1, c.flag) << '"' << c.text << '"';
    }
}

TEST(Settings, EqualisationIsReadByItsExactWordsAndWrittenBackTheSame)
{
    struct Case {
        const char* text;
        TransferFunction function;
    };
    const Case cases[] = {{"Linear", TransferFunction::Linear()}, {"Logarithm", TransferFunction::Logarithm()},
        {"Gamma 2.2", TransferFunction::Gamma(2.2)}, {"Gamma 0.1", TransferFunction::Gamma(0.1)},
        {"Gamma 10", TransferFunction::Gamma(10.0)}, {"Gamma 10.5", TransferFunction::Linear()},
        {"Gamma 0.05", TransferFunction::Linear()}, {"Gamma x", TransferFunction::Linear()},
        {"Gamma nan", TransferFunction::Linear()}, {"logarithm", TransferFunction::Linear()},
        {"Log", TransferFunction::Linear()}, {"", TransferFunction::Linear()}};
    TempDir dir;
    const std::string ini = dir.file("Skyvane.ini");
    for (const Case& c : cases) {
        test::WriteFileBytes(ini, std::string("[Display]\r\nEqualisation=") + c.text + "\r\n");
        const TransferFunction read = LoadSettings(ini).Equalisation;
        EXPECT_EQ(read, c.function) << '"' << c.text << '"';
        if (read == c.function && !read.isLinear()) {
            EXPECT_EQ(EqualisationText(read), c.text);
        }
    }
    EXPECT_EQ(EqualisationText(TransferFunction::Linear()), "Linear");

    // The key joins a file without touching a byte of what is there, and Preferences keep it.
    const std::string before = "[PATH]\r\nWorking path=/data\r\n[Image processing parameters]\r\nHeaders combo 1=1\r\n";
    test::WriteFileBytes(ini, before);
    ASSERT_TRUE(WriteSetting(ini, DisplaySection, EqualisationKey, "Gamma 1.8"));
    EXPECT_EQ(FileText(ini), before + "[Display]\r\nEqualisation=Gamma 1.8\r\n");
    Settings s = LoadSettings(ini);
    WritePreferences(ini, s);
    EXPECT_EQ(LoadSettings(ini).Equalisation, TransferFunction::Gamma(1.8));
}

TEST(Settings, ZeroDivisionValueIsReadAsANumberPrefix)
{
    struct Case {
        const char* text;
        double value;
    };
    const Case cases[] = {{"1e6", 1e6}, {"2D1", 20.0}, {"-.5", -0.5}, {"3.5abc", 3.5}, {"abc", 0.0}, {"", 0.0},
        {"0.333333333333333", 0.333333333333333}};
    TempDir dir;
    const std::string ini = dir.file("Skyvane.ini");
    for (const Case& c : cases) {
        test::WriteFileBytes(ini, std::string("[Image processing parameters]\nHeaders edit 1=") + c.text + "\n");
        EXPECT_EQ(LoadSettings(ini).ZeroDivisionValue, c.value) << '"' << c.text << '"';
    }
}

TEST(Settings, PreferencesWriteBackTheReadValuesInTheirOwnForm)
{
    TempDir dir;
    const std::string ini = dir.file("Skyvane.ini");
    const std::string before =
        "[PATH]\n"
        "Working path=/home/x/My Images\n"
        "[Image processing parameters]\n"
        "Headers combo 1=5\n"
        "Headers combo 2=1\n"
        "Headers combo 3=0\n"
        "Headers check 1=TRUE\n"
        "Headers edit 1=1e6\n";
    test::WriteFileBytes(ini, before);
    Settings s = LoadSettings(ini);
    s.HeadersCombo1 = -1; // a list left without a selection
    WritePreferences(ini, s);
    EXPECT_EQ(FileText(ini),
        "[PATH]\n"
        "Working path=/home/x/My Images\n"
        "[Image processing parameters]\n"
        "Headers combo 1=-1\n"
        "Headers combo 2=1\n"
        "Headers combo 3=0\n"
        "Headers check 1=false\n"
        "Headers edit 1=1000000\n");
    const Settings again = LoadSettings(ini);
    EXPECT_EQ(again.HeadersCombo1, -1);
    EXPECT_EQ(again.ZeroDivisionValue, 1000000.0);
    EXPECT_EQ(FolderEntries(dir.path()), (std::vector<std::string>{"Skyvane.ini"})); // no temporary left over
}

TEST(Settings, PreferencesIntoNoFileWriteTheFiveKeysInOrder)
{
    TempDir dir;
    // ~/.config may not exist yet: the folders are made.
    const std::string ini = (dir.path() / "config" / "deeper" / "Skyvane.ini").string();
    Settings s;
    s.HeadersCombo2 = 1;
    s.HeadersCheck1 = true;
    s.ZeroDivisionValue = 1.0 / 3.0;
    WritePreferences(ini, s);
    EXPECT_EQ(FileText(ini),
        "[Image processing parameters]\n"
        "Headers combo 1=0\n"
        "Headers combo 2=1\n"
        "Headers combo 3=0\n"
        "Headers check 1=true\n"
        "Headers edit 1=0.333333333333333\n");
    // The working path is not one of the five.
    EXPECT_EQ(ReadProfileString(ini, PathSection, WorkingPathKey), "");
}

TEST(Settings, PreferencesGiveTheSameBytesAsFiveSingleWrites)
{
    TempDir dir;
    const std::string start =
        "[Image processing parameters]\r\n"
        "Headers check 1=true\r\n"
        "; the rest came later\r\n"
        "\r\n"
        "[PATH]\r\n"
        "Working path=/w\r\n";
    const std::string one = dir.file("one.ini");
    const std::string five = dir.file("five.ini");
    test::WriteFileBytes(one, start);
    test::WriteFileBytes(five, start);
    Settings s;
    s.HeadersCombo1 = 1;
    s.ZeroDivisionValue = -2.5;
    WritePreferences(one, s);
    EXPECT_TRUE(WriteSetting(five, ProcessingSection, HeadersCombo1Key, "1"));
    EXPECT_TRUE(WriteSetting(five, ProcessingSection, HeadersCombo2Key, "0"));
    EXPECT_TRUE(WriteSetting(five, ProcessingSection, HeadersCombo3Key, "0"));
    EXPECT_TRUE(WriteSetting(five, ProcessingSection, HeadersCheck1Key, "false"));
    EXPECT_TRUE(WriteSetting(five, ProcessingSection, HeadersEdit1Key, "-2.5"));
    EXPECT_EQ(FileText(one), FileText(five));
    // New keys go after the last key of their section, before its comment and blank line.
    EXPECT_EQ(FileText(one),
        "[Image processing parameters]\r\n"
        "Headers check 1=false\r\n"
        "Headers combo 1=1\r\n"
        "Headers combo 2=0\r\n"
        "Headers combo 3=0\r\n"
        "Headers edit 1=-2.5\r\n"
        "; the rest came later\r\n"
        "\r\n"
        "[PATH]\r\n"
        "Working path=/w\r\n");
}

TEST(Settings, WritingOneKeyKeepsEveryOtherLine)
{
    TempDir dir;
    const std::string ini = dir.file("Skyvane.ini");
    test::WriteFileBytes(ini,
        "; Skyvane settings\r\n"
        "[Other]\r\n"
        "Working path=not this one\r\n"
        "\r\n"
        "[path]\r\n"
        "  WORKING path = C:\\old\r\n"
        "Extra=  kept  \r\n"
        "\r\n"
        "[Image processing parameters]\r\n"
        "Headers combo 1=1\r\n");
    EXPECT_TRUE(WriteSetting(ini, "PATH", "Working path", "C:\\Astro data\\M 31"));
    EXPECT_EQ(FileText(ini),
        "; Skyvane settings\r\n"
        "[Other]\r\n"
        "Working path=not this one\r\n"
        "\r\n"
        "[path]\r\n"
        "Working path=C:\\Astro data\\M 31\r\n"
        "Extra=  kept  \r\n"
        "\r\n"
        "[Image processing parameters]\r\n"
        "Headers combo 1=1\r\n");
    EXPECT_EQ(ReadProfileString(ini, "Path", "working path"), "C:\\Astro data\\M 31");
    EXPECT_EQ(ReadProfileString(ini, "OTHER", "Working path"), "not this one");
    EXPECT_EQ(ReadProfileString(ini, "PATH", "Extra"), "kept  ");
    EXPECT_EQ(ReadProfileString(ini, "PATH", "Missing"), "");
    EXPECT_EQ(ReadProfileString(ini, "Nowhere", "Working path"), "");
}

TEST(Settings, NewSectionsGoAtTheEnd)
{
    TempDir dir;
    const std::string ini = dir.file("Skyvane.ini");
    test::WriteFileBytes(ini, "[Image processing parameters]\nHeaders combo 1=1"); // no final line end
    EXPECT_TRUE(WriteSetting(ini, PathSection, WorkingPathKey, "/home/x/My Images"));
    EXPECT_EQ(FileText(ini),
        "[Image processing parameters]\n"
        "Headers combo 1=1\n"
        "[PATH]\n"
        "Working path=/home/x/My Images\n");
    // A key that ends the file without a line end keeps it that way when replaced.
    test::WriteFileBytes(ini, "[PATH]\nWorking path=/old");
    EXPECT_TRUE(WriteSetting(ini, PathSection, WorkingPathKey, "/new"));
    EXPECT_EQ(FileText(ini), "[PATH]\nWorking path=/new");
    // A new key in the last section, whose last line has no line end.
    test::WriteFileBytes(ini, "[PATH]\nOther=1");
    EXPECT_TRUE(WriteSetting(ini, PathSection, WorkingPathKey, "/w"));
    EXPECT_EQ(FileText(ini), "[PATH]\nOther=1\nWorking path=/w\n");
}

TEST(Settings, ValuesComeBackByteForByte)
{
    TempDir dir;
    const std::string ini = dir.file("Skyvane.ini");
    const char* values[] = {"C:\\Astro data\\M 31", "/home/x/My Images", "/data/ends in blank ", "a=b=c", "[not a section]",
        "; not a comment", "", "/d\xC3\xA9j\xC3\xA0/\xFF"};
    for (const char* value : values) {
        ASSERT_TRUE(WriteSetting(ini, PathSection, WorkingPathKey, value)) << value;
        EXPECT_EQ(ReadProfileString(ini, PathSection, WorkingPathKey), value);
        EXPECT_EQ(LoadSettings(ini).WorkingDirectory, value);
    }
    // Longer than the 259 characters of a platform path buffer: kept whole.
    const std::string longPath = "/" + std::string(400, 'x');
    ASSERT_TRUE(WriteSetting(ini, PathSection, WorkingPathKey, longPath));
    EXPECT_EQ(LoadSettings(ini).WorkingDirectory, longPath);
    EXPECT_EQ(FileText(ini), "[PATH]\nWorking path=" + longPath + "\n");
}

TEST(Settings, TextsThatWouldBreakTheFileAreRefused)
{
    TempDir dir;
    const std::string ini = dir.file("Skyvane.ini");
    const std::string before = "[PATH]\nWorking path=/safe\n";
    test::WriteFileBytes(ini, before);
    // A folder name may hold a line break; written raw it would plant a line of its own.
    EXPECT_FALSE(WriteSetting(ini, PathSection, WorkingPathKey, "/a\n[Image processing parameters]"));
    EXPECT_FALSE(WriteSetting(ini, PathSection, WorkingPathKey, "/a\rb"));
    EXPECT_FALSE(WriteSetting(ini, PathSection, "Key=x", "1"));
    EXPECT_FALSE(WriteSetting(ini, PathSection, "", "1"));
    EXPECT_FALSE(WriteSetting(ini, "A]B", "Key", "1"));
    EXPECT_FALSE(WriteSetting(ini, "A\nB", "Key", "1"));
    EXPECT_EQ(FileText(ini), before);
    EXPECT_EQ(FolderEntries(dir.path()), (std::vector<std::string>{"Skyvane.ini"}));
}

TEST(Settings, AFileThatCannotBeReadIsNeverReplaced)
{
    TempDir dir;
    // A folder where the file should be: nothing can be read, so nothing is written.
    const std::string ini = dir.file("Skyvane.ini");
    fs::create_directory(ini);
    test::WriteFileBytes(dir.file("Skyvane.ini/inside"), "kept");
    EXPECT_FALSE(WriteSetting(ini, PathSection, WorkingPathKey, "/x"));
    WritePreferences(ini, Settings{});
    EXPECT_TRUE(fs::is_directory(ini));
    EXPECT_EQ(FileText(dir.file("Skyvane.ini/inside")), "kept");
    EXPECT_EQ(FolderEntries(dir.path()), (std::vector<std::string>{"Skyvane.ini"}));
    EXPECT_EQ(LoadSettings(ini).WorkingDirectory, "");

    // A folder of the file that cannot be made (a plain file is in the way).
    test::WriteFileBytes(dir.file("plain"), "x");
    EXPECT_FALSE(WriteSetting(dir.file("plain/Skyvane.ini"), PathSection, WorkingPathKey, "/x"));
    EXPECT_EQ(FileText(dir.file("plain")), "x");
}

TEST(Settings, ReplacingTheFileKeepsItsPermissionsAndLinks)
{
    TempDir dir;
    const std::string real = dir.file("real.ini");
    const std::string link = dir.file("Skyvane.ini");
    test::WriteFileBytes(real, "[PATH]\nWorking path=/old\n");
    fs::permissions(real, fs::perms::owner_read | fs::perms::owner_write);
    fs::create_symlink("real.ini", link);
    EXPECT_TRUE(WriteSetting(link, PathSection, WorkingPathKey, "/new"));
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(FileText(real), "[PATH]\nWorking path=/new\n");
    EXPECT_EQ(fs::status(real).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(FolderEntries(dir.path()), (std::vector<std::string>{"Skyvane.ini", "real.ini"}));
}

// Two programs writing at once (or Preferences and a working-directory change): every
// change of either reaches the file, and a refused write into no file creates none.
TEST(Settings, WritersAtOnceLoseNoChange)
{
    TempDir dir;
    const std::string ini = dir.file("Skyvane.ini");
    test::WriteFileBytes(ini, "; kept\r\n[PATH]\r\nWorking path=/data\r\n");
    constexpr int Writes = 40;
    std::vector<pid_t> writers;
    for (const char* prefix : {"A", "B", "C"}) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            for (int i = 0; i < Writes; ++i)
                if (!WriteSetting(ini, "Race", prefix + std::to_string(i), std::to_string(i)))
                    ::_exit(1);
            ::_exit(0);
        }
        writers.push_back(pid);
    }
    for (const pid_t pid : writers) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    int lost = 0;
    for (const char* prefix : {"A", "B", "C"})
        for (int i = 0; i < Writes; ++i)
            lost += ReadProfileString(ini, "Race", prefix + std::to_string(i)) != std::to_string(i);
    EXPECT_EQ(lost, 0);
    const std::string head = "; kept\r\n[PATH]\r\nWorking path=/data\r\n[Race]\r\n";
    EXPECT_EQ(FileText(ini).substr(0, head.size()), head);
    EXPECT_EQ(FolderEntries(dir.path()), (std::vector<std::string>{"Skyvane.ini"}));

    EXPECT_FALSE(WriteSetting(dir.file("new.ini"), PathSection, WorkingPathKey, "/a\nb"));
    EXPECT_EQ(FolderEntries(dir.path()), (std::vector<std::string>{"Skyvane.ini"}));
}

TEST(Settings, TheFirstOfTwoSectionsOfTheSameNameServes)
{
    TempDir dir;
    const std::string ini = dir.file("Skyvane.ini");
    test::WriteFileBytes(ini, "[PATH]\nOther=1\n[B]\nx=1\n[Path]\nWorking path=/second\n");
    // The key is found where it is, even in the second section of that name.
    EXPECT_EQ(ReadProfileString(ini, PathSection, WorkingPathKey), "/second");
    EXPECT_TRUE(WriteSetting(ini, PathSection, WorkingPathKey, "/third"));
    EXPECT_EQ(FileText(ini), "[PATH]\nOther=1\n[B]\nx=1\n[Path]\nWorking path=/third\n");
    // A key in neither goes to the first.
    EXPECT_TRUE(WriteSetting(ini, PathSection, "New", "v"));
    EXPECT_EQ(FileText(ini), "[PATH]\nOther=1\nNew=v\n[B]\nx=1\n[Path]\nWorking path=/third\n");
}

} // namespace
} // namespace skyvane
