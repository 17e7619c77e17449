// FITS files by name: names are never the library's instructions, only regular files are
// read, gzipped files inflate no further than their image, saves replace files safely.
#include <gtest/gtest.h>

#include <fitsio.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "base/PrintableText.h"
#include "command/Messages.h"
#include "image/FitsReader.h"
#include "image/FitsWriter.h"
#include "image/ImageRecord.h"
#include "support/TestSupport.h"

namespace skyvane {
namespace {

namespace fs = std::filesystem;
using test::RecordingMessages;
using test::TempDir;
using Texts = std::vector<std::string>;
using Names = std::vector<std::string>;

const std::string SizeError = "Error while reading image size";
const std::string DataError = "Error while reading image data";

std::string Text(const std::string& path)
{
    const std::vector<unsigned char> bytes = test::ReadFileBytes(path);
    return {bytes.begin(), bytes.end()};
}

// A FITS file of width x height 16-bit pixels (x + 10 y), as bytes.
std::string FitsBytes(int width, int height)
{
    std::string file = test::RawFitsHeader({"SIMPLE  =                    T", "BITPIX  =                   16",
                                            "NAXIS   =                    2", "NAXIS1  = " + std::to_string(width),
                                            "NAXIS2  = " + std::to_string(height)});
    std::string data;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const int v = x + 10 * y;
            data += static_cast<char>(v >> 8);
            data += static_cast<char>(v & 0xFF);
        }
    data.resize((data.size() + 2879) / 2880 * 2880, '\0');
    return file + data;
}

// Gzips bytes, followed by zeroMegabytes MiB of zeros, into path.
void WriteGzip(const std::string& path, const std::string& bytes, int zeroMegabytes = 0)
{
    z_stream stream{};
    ASSERT_EQ(deflateInit2(&stream, 1, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::string out;
    std::vector<unsigned char> buffer(1 << 16);
    const std::string zeros(std::size_t{1} << 20, '\0');
    auto feed = [&](const std::string& input, int flush) {
        stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
        stream.avail_in = static_cast<uInt>(input.size());
        do {
            stream.next_out = buffer.data();
            stream.avail_out = static_cast<uInt>(buffer.size());
            deflate(&stream, flush);
            out.append(reinterpret_cast<char*>(buffer.data()), buffer.size() - stream.avail_out);
        } while (stream.avail_out == 0);
    };
    feed(bytes, Z_NO_FLUSH);
    for (int i = 0; i < zeroMegabytes; ++i)
        feed(zeros, Z_NO_FLUSH);
    feed(std::string(), Z_FINISH);
    deflateEnd(&stream);
    test::WriteFileBytes(path, out);
}

// Changes the working folder for a scope: bare names like "-" and "stdin" are what the
// library would take for standard input.
class WorkingFolder {
public:
    explicit WorkingFolder(const fs::path& folder) : previous_(fs::current_path()) { fs::current_path(folder); }
    ~WorkingFolder() { fs::current_path(previous_); }

private:
    fs::path previous_;
};

class FitsFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        test::WriteFileBytes(dir.file("template.fit"), FitsBytes(5, 3));
        ASSERT_TRUE(loadFitsReporting(image, dir.file("template.fit"), messages));
    }

    // Loads path into a fresh record; the messages shown, the record in loaded.
    Texts Load(const std::string& path)
    {
        RecordingMessages shown;
        loaded = ImageRecord();
        const bool result = loadFitsReporting(loaded, path, shown);
        EXPECT_EQ(result, shown.texts.empty()) << path;
        return shown.texts;
    }

    bool LoadedIsTheTemplate() const
    {
        if (loaded.grid.width() != 5 || loaded.grid.height() != 3)
            return false;
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < 5; ++x)
                if (loaded.grid[x][y] != x + 10 * y)
                    return false;
        return loaded.cards.count() == 5;
    }

    TempDir dir;
    RecordingMessages messages;
    ImageRecord image;
    ImageRecord loaded;
};

TEST_F(FitsFiles, HostileNamesAreFilesNeverCommands)
{
    test::WriteFileBytes(dir.file(".bashrc"), "alias ll='ls -l'\n");
    // Brackets, parentheses, "!", "-", "stdin", prefixes and suffixes mean something to
    // the library's file-name syntax; blanks at either end are part of a name too.
    const Names names = {"bashrc(2).fit", "x.fit[compress]", "o.fit(g.fit)", "image(copy).fit", "M42 [Ha].fit",
                         "flat[1].fit",   "dark(2)",         "-",            "stdin",           "!bang.fit",
                         " lead.fit",     "trail.fit ",      "mem:x.fit",    "http:x.fit",      "x.fit.gz"};
    {
        const WorkingFolder inside(dir.path()); // bare names, as a dialog or a list gives them
        for (const std::string& name : names) {
            SCOPED_TRACE(name);
            EXPECT_TRUE(saveFitsReporting(image, name, messages));
            EXPECT_EQ(Load(name), Texts{});
            EXPECT_TRUE(LoadedIsTheTemplate());
            // The reading steps and the band reader take the name as it is, too.
            ImageSize size;
            EXPECT_EQ(readFitsSize(name, size), FitsError::None);
            EXPECT_EQ(size, (ImageSize{5, 3}));
            HeaderCards cards;
            EXPECT_EQ(readFitsHeaderCards(name, cards), FitsError::None);
            EXPECT_EQ(cards.count(), 5);
            FitsImageReader reader;
            EXPECT_EQ(reader.open(name, {5, 3}), FitsError::None);
            std::vector<double> row(5);
            EXPECT_EQ(reader.readRows(2, 1, row.data()), FitsError::None);
            EXPECT_EQ(row[4], 24.0);
        }
        // Names that exist only in the library's syntax open nothing and create nothing:
        // "g.fit(copy1.fit)" would copy g.fit, "only.fit" would find only.fit.gz.
        test::WriteFileBytes("g.fit", FitsBytes(5, 3));
        WriteGzip("only.fit.gz", FitsBytes(5, 3));
        for (const char* name : {"g.fit(copy1.fit)", "g.fit[1]", "only.fit", "g.fit[compress]"}) {
            SCOPED_TRACE(name);
            EXPECT_EQ(Load(name), Texts{SizeError});
        }
    }
    EXPECT_TRUE(messages.texts.empty());
    EXPECT_EQ(Text(dir.file(".bashrc")), "alias ll='ls -l'\n");
    Names expected = names;
    for (const char* other : {".bashrc", "template.fit", "g.fit", "only.fit.gz"})
        expected.push_back(other);
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(test::FolderEntries(dir.path().string()), expected) << "no stray or hidden file";
}

TEST_F(FitsFiles, OnlyRegularFilesAreRead)
{
    fs::create_directory(dir.file("folder.fit"));
    for (const std::string& path : {dir.file("folder.fit"), std::string("/dev/null"), std::string("/dev/zero")}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(Load(path), Texts{SizeError});
    }
    // A FIFO that nobody writes would block its reader for ever: read in a child that an
    // alarm ends, so that a hang fails the test instead of stopping it.
    const std::string fifo = dir.file("pipe.fit");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::alarm(20);
        ImageRecord record;
        RecordingMessages shown;
        const bool refused = !loadFitsReporting(record, fifo, shown) && shown.texts == Texts{SizeError};
        ::_exit(refused ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

TEST_F(FitsFiles, GzippedFilesAreReadNoFurtherThanTheImageTheyDeclare)
{
    // Whole, with an extension after the primary image (only the primary is read), and
    // as two gzip members one after the other.
    const std::string file = FitsBytes(5, 3);
    WriteGzip(dir.file("plain.fit"), file);
    WriteGzip(dir.file("extended.fit"), file + test::RawFitsHeader({"XTENSION= 'IMAGE   '", "BITPIX  = 16", "NAXIS   = 2",
                                                                    "NAXIS1  = 9", "NAXIS2  = 9", "PCOUNT  = 0", "GCOUNT  = 1"}) +
                                            std::string(2880, '\0'));
    WriteGzip(dir.file("first.part"), file.substr(0, 2880));
    WriteGzip(dir.file("second.part"), file.substr(2880));
    test::WriteFileBytes(dir.file("members.fit"), Text(dir.file("first.part")) + Text(dir.file("second.part")));
    for (const char* name : {"plain.fit", "extended.fit", "members.fit"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(Load(dir.file(name)), Texts{});
        EXPECT_TRUE(LoadedIsTheTemplate());
    }

    // Data cut short, in the stream or in the file it holds; other compressed formats.
    const std::string whole = Text(dir.file("plain.fit"));
    test::WriteFileBytes(dir.file("cut-stream.fit"), whole.substr(0, whole.size() - 20));
    WriteGzip(dir.file("cut-file.fit"), file.substr(0, 2880 + 10));
    test::WriteFileBytes(dir.file("lzw.fit"), std::string("\x1F\x9D") + file);
    test::WriteFileBytes(dir.file("zip.fit"), "PK" + file);
    EXPECT_EQ(Load(dir.file("cut-stream.fit")), Texts{DataError});
    EXPECT_EQ(Load(dir.file("cut-file.fit")), Texts{DataError});
    EXPECT_EQ(Load(dir.file("lzw.fit")), Texts{SizeError});
    EXPECT_EQ(Load(dir.file("zip.fit")), Texts{SizeError});

    // The band reader of co-addition refuses to inflate an image larger than a grid may be.
    WriteGzip(dir.file("large.fit"), FitsBytes(1000, 1000));
    SetGridMemoryLimit(1 << 20);
    FitsImageReader reader;
    EXPECT_EQ(reader.open(dir.file("large.fit"), {1000, 1000}), FitsError::NotEnoughMemory);
    SetGridMemoryLimit(0);
    EXPECT_EQ(reader.open(dir.file("large.fit"), {1000, 1000}), FitsError::None);

    // 512 MiB of zeros after a 5 x 3 image (a few megabytes of file) load in 64 MiB.
    if (!test::AddressSpaceLimitsWork())
        GTEST_SKIP() << "address space limits do not work under AddressSanitizer";
    WriteGzip(dir.file("bomb.fit"), file, 512);
    EXPECT_LT(fs::file_size(dir.file("bomb.fit")), std::uintmax_t{4} << 20);
    const test::ChildEnd end = test::RunWithAddressSpaceLimit(std::uint64_t{64} << 20, [&] {
        ImageRecord record;
        RecordingMessages shown;
        return loadFitsReporting(record, dir.file("bomb.fit"), shown) && record.grid.width() == 5 ? 0 : 1;
    });
    EXPECT_TRUE(end.exited && end.code == 0) << "code " << end.code << ", signal " << end.signal;
}

TEST_F(FitsFiles, SavesKeepPermissionsLinksAndTheLibrarysBytes)
{
    // What the library itself writes to a file for these cards and pixels.
    const std::string expected = dir.file("expected.fit");
    {
        int status = 0;
        fitsfile* file = nullptr;
        fits_create_diskfile(&file, expected.c_str(), &status);
        for (int i = 0; i < image.cards.count(); ++i)
            fits_write_record(file, image.cards.block().data() + i * 81, &status);
        fits_set_hdustruc(file, &status);
        for (int y = 0; y < 3; ++y) {
            unsigned short row[5];
            for (int x = 0; x < 5; ++x)
                row[x] = static_cast<unsigned short>(x + 10 * y);
            long first[2] = {1, y + 1};
            fits_write_pix(file, TUSHORT, first, 5, row, &status);
        }
        fits_close_file(file, &status);
        ASSERT_EQ(status, 0);
    }
    const std::string privateFile = dir.file("private.fit");
    test::WriteFileBytes(privateFile, "old");
    ::chmod(privateFile.c_str(), 0600);
    fs::create_symlink("private.fit", dir.file("link.fit"));
    const std::string longName = dir.file(std::string(251, 'n') + ".fit");
    for (const std::string& path : {privateFile, dir.file("link.fit"), longName}) {
        SCOPED_TRACE(path);
        EXPECT_TRUE(saveFitsReporting(image, path, messages));
        EXPECT_EQ(Text(path), Text(expected));
    }
    struct stat info {};
    ASSERT_EQ(::stat(privateFile.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u) << "a private file stays private";
    EXPECT_TRUE(fs::is_symlink(dir.file("link.fit")));
    EXPECT_TRUE(messages.texts.empty());
    EXPECT_EQ(test::FolderEntries(dir.path().string()),
              (Names{"expected.fit", "link.fit", std::string(251, 'n') + ".fit", "private.fit", "template.fit"}));
}

// A save killed at any moment leaves the old file or the new one, and nothing else.
TEST_F(FitsFiles, ASaveKilledAtAnyMomentLeavesNothingBehind)
{
    const std::string target = dir.file("target.fit");
    ASSERT_TRUE(saveFitsReporting(image, target, messages));
    const Names entries = test::FolderEntries(dir.path().string());
    ImageRecord large;
    large.cards = image.cards;
    large.cards.clear();
    for (const char* card : {"SIMPLE  = T", "BITPIX  = 16", "NAXIS   = 2", "NAXIS1  = 2000", "NAXIS2  = 2000"})
        large.cards.append(card);
    ASSERT_TRUE(large.grid.tryResize(2000, 2000));
    for (int kill = 0; kill < 8; ++kill) {
        int started[2];
        ASSERT_EQ(::pipe(started), 0);
        const pid_t pid = ::fork();
        if (pid == 0) {
            RecordingMessages quiet;
            (void)!::write(started[1], "x", 1);
            for (int i = 0;; ++i)
                (void)saveFitsReporting(i % 2 == 0 ? large : image, target, quiet);
        }
        char c = 0;
        ASSERT_EQ(::read(started[0], &c, 1), 1);
        ::usleep(static_cast<useconds_t>(2000 + 7000 * kill));
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        ::close(started[0]);
        ::close(started[1]);
        SCOPED_TRACE(kill);
        // A kill between linking the finished file under its temporary name and the rename
        // (microseconds; no call links an unnamed file over an existing name) leaves that
        // one hidden name, which the next save into the folder sweeps away.
        Names now = test::FolderEntries(dir.path().string());
        if (now != entries) {
            Names extra;
            std::set_difference(now.begin(), now.end(), entries.begin(), entries.end(), std::back_inserter(extra));
            ASSERT_EQ(extra.size(), 1u);
            EXPECT_EQ(extra[0].rfind(".skyvane-", 0), 0u) << extra[0];
            ASSERT_TRUE(saveFitsReporting(image, target, messages));
            now = test::FolderEntries(dir.path().string());
        }
        EXPECT_EQ(now, entries);
        ImageSize size;
        EXPECT_EQ(readFitsSize(target, size), FitsError::None);
        EXPECT_TRUE(size == (ImageSize{5, 3}) || size == (ImageSize{2000, 2000}));
    }
}

TEST_F(FitsFiles, TheLibrarysReportsReachTheTerminalEscaped)
{
    EXPECT_EQ(PrintableText("plain, \xC3\xBC and \xE2\x82\xAC"), "plain, \xC3\xBC and \xE2\x82\xAC");
    EXPECT_EQ(PrintableText("\x1B]0;title\x07|\x7F|\r\n"), "\\x1B]0;title\\x07|\\x7F|\\x0D\\x0A");
    EXPECT_EQ(PrintableText("\xC2\x9B" "2J|\x9B|\xFF|\xC3"), "\\xC2\\x9B2J|\\x9B|\\xFF|\\xC3"); // C1 as UTF-8, stray bytes

    test::WriteFileBytes(dir.file("hostile.fit"),
                         test::RawFitsHeader({"SIMPLE  = T", "BITPIX  = 16", "NAXIS   = 2", "NAXIS1  = \x1B]0;owned\x07\x1B[2J",
                                              "NAXIS2  = 2"}) +
                             std::string(2880, '\0'));
    testing::internal::CaptureStderr();
    const Texts texts = Load(dir.file("hostile.fit"));
    const std::string report = testing::internal::GetCapturedStderr();
    EXPECT_EQ(texts, Texts{SizeError});
    EXPECT_EQ(report.find('\x1B'), std::string::npos) << report;
    EXPECT_NE(report.find("\\x1B]0;owned\\x07"), std::string::npos) << report;
    EXPECT_NE(report.find(dir.file("hostile.fit")), std::string::npos) << "the report names the path: " << report;
}

} // namespace
} // namespace skyvane
