// Drives the built tavikcut as a user does: each test builds a disk image in a
// fresh temporary folder, runs the program with its working directory there,
// and checks standard output, standard error, the exit status and every file
// left behind.
//
// The same suite runs on POSIX hosts and, cross-built, on Windows (under Wine).
// Tests that only make sense on one host sit in blocks marked by host.
#include "image_builder.h"
#include "runner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <clocale>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;
using namespace std::string_literals;

namespace {

#ifdef _WIN32
constexpr bool on_windows = true;
#else
constexpr bool on_windows = false;
#endif

#ifdef TAVIKCUT_EMULATOR
constexpr bool emulated = true;
#else
constexpr bool emulated = false;
#endif

using runner::options;
using runner::output;
using runner::read_file;
using runner::result;

void write_file(const fs::path& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    ASSERT_TRUE(out.good()) << path;
}

fs::path make_temp_folder()
{
    std::random_device random;
    for (;;) {
        fs::path dir = fs::temp_directory_path() / ("tavikcut-test-" + std::to_string(random()));
        if (fs::create_directory(dir))
            return dir;
    }
}

// The program under test, after the emulator that runs it on this machine
// if there is one (its words separated by '|').
std::vector<std::string> tavikcut_command()
{
    std::vector<std::string> command;
#ifdef TAVIKCUT_EMULATOR
    std::string emulator = TAVIKCUT_EMULATOR;
    for (size_t at = 0, bar; at <= emulator.size(); at = bar + 1) {
        bar = std::min(emulator.find('|', at), emulator.size());
        command.push_back(emulator.substr(at, bar - at));
    }
#endif
    command.push_back(fs::absolute(TAVIKCUT_BIN).string());
    return command;
}

class Tavikcut : public ::testing::Test {
protected:
    fs::path root; // holds the working directory, the captures and images kept outside it
    fs::path cwd;

    void SetUp() override
    {
        root = make_temp_folder();
        cwd = root / "cwd";
        fs::create_directory(cwd);
#ifndef _WIN32
        std::signal(SIGPIPE, SIG_IGN);
#endif
    }

    void TearDown() override
    {
        std::error_code ec;
        fs::permissions(root, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(root, ec);
    }

    // Saves the image outside the working directory and returns its path.
    std::string save(const disk::image& img, const std::string& name = "disk.img")
    {
        std::string path = (root / name).string();
        img.save(path);
        return path;
    }

    result run(const std::vector<std::string>& args, const options& opt = {})
    {
        return runner::run(tavikcut_command(), args, cwd, root, opt);
    }

    // Every entry of the working directory: regular files by content, other
    // kinds by a tag, so that a stray link or directory shows up too.
    std::map<std::string, std::string> files() const { return entries_of(cwd); }

    static std::map<std::string, std::string> entries_of(const fs::path& dir)
    {
        std::map<std::string, std::string> found;
        for (const fs::directory_entry& e : fs::directory_iterator(dir)) {
            fs::file_status st = e.symlink_status();
            std::string name = e.path().filename().string();
            if (fs::is_regular_file(st))
                found[name] = read_file(e.path());
            else if (fs::is_symlink(st))
                found[name] = "<symlink to " + fs::read_symlink(e.path()).string() + ">";
            else if (fs::is_directory(st))
                found[name] = "<directory>";
            else
                found[name] = "<special>";
        }
        return found;
    }
};

using files_t = std::map<std::string, std::string>;

// Some recognisable data: byte i of a block is i mod 251, so that shifts show.
std::string pattern(size_t length, unsigned seed = 0)
{
    std::string s(length, '\0');
    for (size_t i = 0; i < length; ++i)
        s[i] = static_cast<char>((i + seed) % 251);
    return s;
}

// A disk of sector 20 and on filled with pattern data, to cut files from.
disk::image patterned_disk(size_t sectors = 8)
{
    disk::image img;
    img.signature().data(20, 0, pattern(sectors * disk::sector));
    return img;
}

std::string from_disk(size_t sec, size_t ofs, size_t length)
{
    return pattern(8 * disk::sector).substr((sec - 20) * disk::sector + ofs, length);
}

// ---------------------------------------------------------------------------
// Command line and loading

TEST_F(Tavikcut, MissingOperandsPrintUsage)
{
    std::string path = save(disk::pack({{"A.TXT", "a"}}));
    for (const auto& args : {std::vector<std::string>{}, std::vector<std::string>{path}}) {
        result r = run(args);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out, "usage: tavikcut <filename> <prefix>\n");
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(files(), files_t{});
    }
}

TEST_F(Tavikcut, PrefixAndLaterOperandsChangeNothing)
{
    std::string path = save(disk::pack({{"A.TXT", "alpha"}}));
    for (const auto& args : {std::vector<std::string>{path, "x"}, std::vector<std::string>{path, "sub/dir/", "more", "-v"}}) {
        fs::remove_all(cwd);
        fs::create_directory(cwd);
        result r = run(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "A.TXT\tsec:0x000e size:0x0001 ofs:0039 ofs2:0005\n");
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(files(), (files_t{{"A.TXT", "alpha"}}));
    }
}

TEST_F(Tavikcut, LoadFailuresEndWithStatusMinusTwo)
{
    // A sparse file one byte over the limit: refused from its size alone.
    const std::string big = (root / "big.img").string();
    write_file(big, "");
    fs::resize_file(big, uintmax_t{1} << 31);
    const std::string folder = (root / "folder.img").string();
    fs::create_directory(folder);
    struct load_case {
        std::string path;
        std::string out;
    };
    std::vector<load_case> cases{
        {"no such.img", "error: can't open no such.img\n"},
        {"../missing/./d.img", "error: can't open ../missing/./d.img\n"},
        {folder, "error: can't read " + folder + "\n"},
        {big, "error: " + big + " is too large\n"},
    };
    if (!on_windows) // opens, but reading it fails
        cases.push_back({"/proc/self/mem", "error: can't read /proc/self/mem\n"});
    for (const load_case& c : cases) {
        result r = run({c.path, "x"});
        EXPECT_EQ(r.status, 254) << c.path;
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(files(), files_t{});
    }
}

// The largest image there is, 2^31 - 1 bytes of zeros: read whole where the
// memory is there (no signature in it), refused with a message where it is
// not, as in a 32-bit process; never a crash.
TEST_F(Tavikcut, TheLargestImageEndsCleanly)
{
    const std::string big = (root / "largest.img").string();
    write_file(big, "");
    fs::resize_file(big, (uintmax_t{1} << 31) - 1);
    result r = run({big, "x"});
    if (r.status == 253) {
        EXPECT_EQ(r.out, "illegal disk\n");
    } else {
        EXPECT_EQ(r.status, 254);
        EXPECT_EQ(r.out, "error: not enough memory for " + big + "\n");
    }
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(files(), files_t{});
}

#ifndef _WIN32 // POSIX only: a pipe named by a path
TEST_F(Tavikcut, ImageThroughAPipeIsReadToItsEnd)
{
    // Larger than a pipe's buffer, with its last file at the very end.
    std::vector<disk::file> content{{"FIRST.BIN", pattern(70000)}, {"LAST.TXT", "the end"}};
    disk::image img = disk::pack(content);
    options opt;
    opt.stdin_pipe = img.bytes;
    result r = run({"/dev/stdin", "x"}, opt);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "FIRST.BIN\tsec:0x000e size:0x0089 ofs:004d ofs2:0170\n"
                     "LAST.TXT\tsec:0x0096 size:0x0001 ofs:01bd ofs2:0007\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(files(), (files_t{{"FIRST.BIN", pattern(70000)}, {"LAST.TXT", "the end"}}));
}
#endif

// ---------------------------------------------------------------------------
// Signature

TEST_F(Tavikcut, ImagesWithoutTheSignatureAreIllegal)
{
    disk::image valid = disk::pack({{"A.TXT", "a"}});
    struct sig_case {
        const char* what;
        std::string bytes;
    };
    for (const sig_case& c : std::vector<sig_case>{
             {"empty file", ""},
             {"ends inside the signature", valid.bytes.substr(0, disk::signature_at + 4)},
             {"lower case", disk::image(valid).signature("tavik").bytes},
             {"upper case", disk::image(valid).signature("TAVIK").bytes},
             {"last byte differs", disk::image(valid).signature("Tavij").bytes},
             {"one byte early", disk::image(valid).signature("\0\0\0\0\0"s).put(disk::signature_at - 1, "Tavik").bytes},
         }) {
        std::string path = save(disk::image{c.bytes});
        result r = run({path, "x"});
        EXPECT_EQ(r.status, 253) << c.what;
        EXPECT_EQ(r.out, "illegal disk\n") << c.what;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(files(), files_t{}) << c.what;
    }
}

TEST_F(Tavikcut, BytesAroundTheSignatureAreNotExamined)
{
    disk::image img = disk::pack({{"A.TXT", "a"}});
    img.put(disk::signature_at - 6, "\xff\xff\xff\xff\xff\xff").put(disk::signature_at + 5, "zzzzzz");
    result r = run({save(img), "x"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(files(), (files_t{{"A.TXT", "a"}}));
}

TEST_F(Tavikcut, SignatureWithoutDirectoryEntriesDoesNothing)
{
    // Ending right after the signature, or with the end marker first.
    disk::image bare;
    bare.signature();
    disk::image marker = disk::pack({});
    marker.resize(4096 * 4); // stray bytes behind the marker stay unread
    marker.put(disk::directory_at + disk::entry_bytes, "JUNK    TXT\x01\x00\x01\x00\x00\x00\x05\x00"s);
    for (const disk::image& img : {bare, marker}) {
        result r = run({save(img), "x"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(files(), files_t{});
    }
}

// ---------------------------------------------------------------------------
// Entries: names and numbers

struct name_case {
    std::string name; // the 8-byte name field
    std::string ext;  // the 3-byte extension field
    std::string expected;
    std::string windows_file = ""; // the file's name where Windows trims it, if it does
};

void PrintTo(const name_case& c, std::ostream* os)
{
    *os << ::testing::PrintToString(c.expected);
}

class Names : public Tavikcut, public ::testing::WithParamInterface<name_case> {};

TEST_P(Names, OutputNameIsBuiltFromTheFields)
{
    const name_case& c = GetParam();
    disk::image img = patterned_disk();
    img.entry(0, c.name, c.ext, 20, 1, 3, 4).end(1);
    result r = run({save(img), "x"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, c.expected + "\tsec:0x0014 size:0x0001 ofs:0003 ofs2:0004\n");
    EXPECT_EQ(r.err, "");
    const std::string file = on_windows && !c.windows_file.empty() ? c.windows_file : c.expected;
    EXPECT_EQ(files(), (files_t{{file, from_disk(20, 3, 4)}}));
}

INSTANTIATE_TEST_SUITE_P(
    Fields, Names,
    ::testing::Values(name_case{"README  ", "TXT", "README.TXT"}, name_case{"ABCDEFGH", "BIN", "ABCDEFGH.BIN"},
                      name_case{" ABC    ", "TXT", ".TXT"}, name_case{"ABC DEF ", "TXT", "ABC.TXT"},
                      name_case{"NOEXT   ", "   ", "NOEXT.   ", "NOEXT"}, name_case{"A\0BCDEFG"s, "TXT", "A"},
                      name_case{"AB      ", "T\0X"s, "AB.T"}, name_case{"lower~1!", "t-x", "lower~1!.t-x"}));

#ifndef _WIN32 // POSIX only: names that Windows refuses or trims to nothing
INSTANTIATE_TEST_SUITE_P(PosixFields, Names,
                         ::testing::Values(name_case{"\xe9t\xc9     ", "\xff\x80\x01", "\xe9t\xc9.\xff\x80\x01"},
                                           name_case{"...     ", "...", "......."}));
#endif

struct range_case {
    uint16_t sec, size, ofs, ofs2;
    const char* listing;
    size_t start; // byte offset from sector 20 in the patterned disk
    size_t length;
};

void PrintTo(const range_case& c, std::ostream* os)
{
    *os << c.listing;
}

class Ranges : public Tavikcut, public ::testing::WithParamInterface<range_case> {};

TEST_P(Ranges, DataRangeFollowsTheFourFields)
{
    const range_case& c = GetParam();
    disk::image img = patterned_disk();
    img.entry(0, "F", "BIN", c.sec, c.size, c.ofs, c.ofs2).end(1);
    result r = run({save(img), "x"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "F.BIN\t"s + c.listing + "\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(files(), (files_t{{"F.BIN", pattern(8 * disk::sector).substr(c.start, c.length)}}));
}

INSTANTIATE_TEST_SUITE_P(
    Fields, Ranges,
    ::testing::Values(range_case{20, 1, 0, 0, "sec:0x0014 size:0x0001 ofs:0000 ofs2:0000", 0, 0},
                      range_case{20, 2, 0, 0, "sec:0x0014 size:0x0002 ofs:0000 ofs2:0000", 0, 512},
                      range_case{20, 1, 0, 512, "sec:0x0014 size:0x0001 ofs:0000 ofs2:0200", 0, 512},
                      range_case{21, 3, 16, 7, "sec:0x0015 size:0x0003 ofs:0010 ofs2:0007", 512 + 16, 1031},
                      // the offset moves the start, never the length
                      range_case{20, 2, 0x1ff, 10, "sec:0x0014 size:0x0002 ofs:01ff ofs2:000a", 0x1ff, 522},
                      range_case{20, 1, 0x300, 0xab, "sec:0x0014 size:0x0001 ofs:0300 ofs2:00ab", 0x300, 0xab},
                      // size 0 subtracts a unit from ofs2
                      range_case{20, 0, 0, 600, "sec:0x0014 size:0x0000 ofs:0000 ofs2:0258", 0, 88},
                      range_case{20, 0, 4, 512, "sec:0x0014 size:0x0000 ofs:0004 ofs2:0200", 4, 0}));

TEST_F(Tavikcut, FieldsAreLittleEndian)
{
    // Bytes 0x01 0x02 read as 0x0201; sector 0x0201 lies well past this image,
    // so the other fields are checked through the listing and the shortfall.
    disk::image img = patterned_disk();
    img.put(disk::directory_at, "LE      BIN\x01\x02\x02\x01\x10\x00\x34\x12\x00"s).end(1);
    result r = run({save(img), "x"});
    EXPECT_EQ(r.out, "LE.BIN\tsec:0x0201 size:0x0102 ofs:0010 ofs2:1234\n");
    EXPECT_EQ(r.err, "tavikcut: LE.BIN: data runs past the end of the image: wrote 0 of 136244 bytes\n");
    EXPECT_EQ(r.status, 252);
    EXPECT_EQ(files(), (files_t{{"LE.BIN", ""}}));
}

// ---------------------------------------------------------------------------
// The walk

TEST_F(Tavikcut, ListsAndExtractsEveryFileInDirectoryOrder)
{
    std::vector<disk::file> content{{"ZED.TXT", "last by name\n"},
                                    {"ALPHA.BIN", pattern(1300, 7)},
                                    {"EMPTY.DAT", ""},
                                    {"MAIN.CPP", "int main(void) { return 0; }\r\n"}};
    result r = run({save(disk::pack(content)), "x"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "ZED.TXT\tsec:0x000e size:0x0001 ofs:0075 ofs2:000d\n"
                     "ALPHA.BIN\tsec:0x000e size:0x0003 ofs:0082 ofs2:0114\n"
                     "EMPTY.DAT\tsec:0x0010 size:0x0001 ofs:0196 ofs2:0000\n"
                     "MAIN.CPP\tsec:0x0010 size:0x0001 ofs:0196 ofs2:001e\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(files(), (files_t{{"ZED.TXT", "last by name\n"},
                                {"ALPHA.BIN", pattern(1300, 7)},
                                {"EMPTY.DAT", ""},
                                {"MAIN.CPP", "int main(void) { return 0; }\r\n"}}));
}

TEST_F(Tavikcut, DirectoryWithoutEndMarkerStopsAtTheLastWholeEntry)
{
    disk::image img;
    img.signature().data(1, 0, "first data!second");
    img.entry(0, "ONE", "TXT", 1, 1, 0, 11).entry(1, " TWO", "TXT", 1, 1, 11, 6);
    // A third entry cut one byte short: every byte but its last is there.
    img.entry(2, "THREE", "TXT", 1, 1, 0, 5).resize(img.bytes.size() - 1);
    result r = run({save(img), "x"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "ONE.TXT\tsec:0x0001 size:0x0001 ofs:0000 ofs2:000b\n"
                     ".TXT\tsec:0x0001 size:0x0001 ofs:000b ofs2:0006\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(files(), (files_t{{"ONE.TXT", "first data!"}, {".TXT", "second"}}));
}

TEST_F(Tavikcut, EntryEndingExactlyAtTheImageEndCounts)
{
    disk::image img;
    img.signature().data(1, 0, "xyz").entry(0, "EDGE", "TXT", 1, 1, 0, 3);
    result r = run({save(img), "x"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "EDGE.TXT\tsec:0x0001 size:0x0001 ofs:0000 ofs2:0003\n");
    EXPECT_EQ(files(), (files_t{{"EDGE.TXT", "xyz"}}));
}

TEST_F(Tavikcut, LaterEntryOfTheSameNameWins)
{
    disk::image img;
    img.signature().data(1, 0, "older, longer data|newer");
    img.entry(0, "SAME", "TXT", 1, 1, 0, 18).entry(1, "SAME", "TXT", 1, 1, 19, 5).end(2);
    result r = run({save(img), "x"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "SAME.TXT\tsec:0x0001 size:0x0001 ofs:0000 ofs2:0012\n"
                     "SAME.TXT\tsec:0x0001 size:0x0001 ofs:0013 ofs2:0005\n");
    EXPECT_EQ(files(), (files_t{{"SAME.TXT", "newer"}}));
}

TEST_F(Tavikcut, ListingLinesComeFirstAndDiagnosticsFollowTheirEntry)
{
    disk::image img = patterned_disk();
    img.entry(0, "GOOD1", "BIN", 20, 1, 0, 2)
        .entry(1, "NEG", "BIN", 20, 0, 0, 1)
        .entry(2, "GOOD2", "BIN", 21, 1, 0, 3)
        .entry(3, "A/B", "BIN", 20, 1, 0, 4)
        .entry(4, "GOOD3", "BIN", 22, 1, 0, 5)
        .end(5);
    options opt;
    opt.merge_stderr = true;
    result r = run({save(img), "x"}, opt);
    EXPECT_EQ(r.status, 252);
    EXPECT_EQ(r.out, "GOOD1.BIN\tsec:0x0014 size:0x0001 ofs:0000 ofs2:0002\n"
                     "NEG.BIN\tsec:0x0014 size:0x0000 ofs:0000 ofs2:0001\n"
                     "tavikcut: NEG.BIN: negative data length -511: created empty\n"
                     "GOOD2.BIN\tsec:0x0015 size:0x0001 ofs:0000 ofs2:0003\n"
                     "A/B.BIN\tsec:0x0014 size:0x0001 ofs:0000 ofs2:0004\n"
                     "tavikcut: A/B.BIN: written as A_B.BIN\n"
                     "GOOD3.BIN\tsec:0x0016 size:0x0001 ofs:0000 ofs2:0005\n");
    EXPECT_EQ(files(), (files_t{{"GOOD1.BIN", from_disk(20, 0, 2)},
                                {"NEG.BIN", ""},
                                {"A_B.BIN", from_disk(20, 0, 4)},
                                {"GOOD2.BIN", from_disk(21, 0, 3)},
                                {"GOOD3.BIN", from_disk(22, 0, 5)}}));
}

// ---------------------------------------------------------------------------
// Damaged images

TEST_F(Tavikcut, DataPastTheImageEndIsWrittenAsFarAsItGoes)
{
    disk::image img;
    img.signature().data(16, 0, "0123456789");
    const size_t end = 16 * disk::sector + 10;
    img.entry(0, "PART", "TXT", 16, 1, 4, 100)   // 6 of 100 bytes inside
        .entry(1, "EXACT", "TXT", 16, 1, 4, 6)   // ends right at the image end
        .entry(2, "AFTER", "TXT", 16, 1, 10, 1)  // starts at the image end
        .entry(3, "FAR", "TXT", 0xffff, 0xffff, 0xffff, 0xffff)
        .end(4);
    ASSERT_EQ(img.bytes.size(), end);
    result r = run({save(img), "x"});
    EXPECT_EQ(r.status, 252);
    EXPECT_EQ(r.out, "PART.TXT\tsec:0x0010 size:0x0001 ofs:0004 ofs2:0064\n"
                     "EXACT.TXT\tsec:0x0010 size:0x0001 ofs:0004 ofs2:0006\n"
                     "AFTER.TXT\tsec:0x0010 size:0x0001 ofs:000a ofs2:0001\n"
                     "FAR.TXT\tsec:0xffff size:0xffff ofs:ffff ofs2:ffff\n");
    EXPECT_EQ(r.err, "tavikcut: PART.TXT: data runs past the end of the image: wrote 6 of 100 bytes\n"
                     "tavikcut: AFTER.TXT: data runs past the end of the image: wrote 0 of 1 bytes\n"
                     "tavikcut: FAR.TXT: data runs past the end of the image: wrote 0 of 33618943 bytes\n");
    EXPECT_EQ(files(), (files_t{{"PART.TXT", "456789"}, {"EXACT.TXT", "456789"}, {"AFTER.TXT", ""}, {"FAR.TXT", ""}}));
}

TEST_F(Tavikcut, NegativeLengthCreatesAnEmptyFile)
{
    disk::image img = patterned_disk();
    img.entry(0, "NEG", "AAA", 20, 0, 0, 0).entry(1, "NEG", "BBB", 20, 0, 9, 511).end(2);
    write_file(cwd / "NEG.BBB", "old contents");
    result r = run({save(img), "x"});
    EXPECT_EQ(r.status, 252);
    EXPECT_EQ(r.err, "tavikcut: NEG.AAA: negative data length -512: created empty\n"
                     "tavikcut: NEG.BBB: negative data length -1: created empty\n");
    EXPECT_EQ(files(), (files_t{{"NEG.AAA", ""}, {"NEG.BBB", ""}}));
}

// ---------------------------------------------------------------------------
// Where files are written

// Names the host cannot hold are written under a substitute, which the
// diagnostic gives; names it can hold are used as built.
struct substitute_case {
    std::string name; // the 8-byte name field
    std::string ext;  // the 3-byte extension field
    std::string listing;
    std::string file; // as the file system shows it
    std::string err = "";
};

void PrintTo(const substitute_case& c, std::ostream* os)
{
    *os << ::testing::PrintToString(c.listing);
}

class Substitutes : public Tavikcut, public ::testing::WithParamInterface<substitute_case> {};

TEST_P(Substitutes, KeepEveryFileInsideTheDirectory)
{
    const substitute_case& c = GetParam();
    disk::image img = patterned_disk();
    img.entry(0, c.name, c.ext, 20, 1, 0, 4).end(1);
    result r = run({save(img), "x"});
    EXPECT_EQ(r.out, c.listing + "\tsec:0x0014 size:0x0001 ofs:0000 ofs2:0004\n");
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.status, c.err.empty() ? 0 : 252);
    EXPECT_EQ(files(), (files_t{{c.file, from_disk(20, 0, 4)}}));
    EXPECT_EQ(entries_of(root).size(), 4u) << "only the image, the captures and the working folder";
}

INSTANTIATE_TEST_SUITE_P(
    AnyHost, Substitutes,
    ::testing::Values(substitute_case{"..", "/XY", ".../XY", "..._XY", "tavikcut: .../XY: written as ..._XY\n"},
                      substitute_case{"../ETC", "PWD", "../ETC.PWD", ".._ETC.PWD",
                                      "tavikcut: ../ETC.PWD: written as .._ETC.PWD\n"},
                      substitute_case{"/", "/\0"s, "/./", "_._", "tavikcut: /./: written as _._\n"}));

#ifdef _WIN32
INSTANTIATE_TEST_SUITE_P(
    Windows, Substitutes,
    ::testing::Values(
        // Windows drops the trailing dots
        substitute_case{".", "\0"s, "..", "_", "tavikcut: ..: written as _..\n"},
        substitute_case{" ", "\0"s, ".", "_", "tavikcut: .: written as _.\n"},
        substitute_case{"A\\B", "TXT", "A\\B.TXT", "A_B.TXT", "tavikcut: A\\\\B.TXT: written as A_B.TXT\n"},
        substitute_case{"C:", "TXT", "C:.TXT", "C_.TXT", "tavikcut: C:.TXT: written as C_.TXT\n"},
        substitute_case{"A", "B:S", "A.B:S", "A.B_S", "tavikcut: A.B:S: written as A.B_S\n"},
        substitute_case{"<>\"|?*", "TXT", "<>\"|?*.TXT", "______.TXT",
                        "tavikcut: <>\"|?*.TXT: written as ______.TXT\n"},
        substitute_case{"TAB\t", "TXT", "TAB\t.TXT", "TAB_.TXT", "tavikcut: TAB\\011.TXT: written as TAB_.TXT\n"},
        substitute_case{"\x1b[2A\x1b[J\x07", "TXT", "\x1b[2A\x1b[J\x07.TXT", "_[2A_[J_.TXT",
                        "tavikcut: \\033[2A\\033[J\\007.TXT: written as _[2A_[J_.TXT\n"},
        substitute_case{"\x1f", "\x01", "\x1f.\x01  ", "_._", "tavikcut: \\037.\\001  : written as _._  \n"},
        // nothing left once Windows drops trailing dots and spaces
        substitute_case{"...", "...", ".......", "_", "tavikcut: .......: written as _.......\n"},
        substitute_case{" ", "", ".   ", "_", "tavikcut: .   : written as _.   \n"},
        // device names, whatever follows the first dot
        substitute_case{"CON", "TXT", "CON.TXT", "_CON.TXT", "tavikcut: CON.TXT: written as _CON.TXT\n"},
        substitute_case{"con", "", "con.   ", "_con", "tavikcut: con.   : written as _con.   \n"},
        substitute_case{"PRN", "\0"s, "PRN.", "_PRN", "tavikcut: PRN.: written as _PRN.\n"},
        substitute_case{"AUX", "C", "AUX.C  ", "_AUX.C", "tavikcut: AUX.C  : written as _AUX.C  \n"},
        substitute_case{"NUL\0"s, "", "NUL", "_NUL", "tavikcut: NUL: written as _NUL\n"},
        substitute_case{"Nul..", "TXT", "Nul...TXT", "_Nul...TXT", "tavikcut: Nul...TXT: written as _Nul...TXT\n"},
        substitute_case{"COM1", "DAT", "COM1.DAT", "_COM1.DAT", "tavikcut: COM1.DAT: written as _COM1.DAT\n"},
        substitute_case{"com9 ", "x", "com9.x  ", "_com9.x", "tavikcut: com9.x  : written as _com9.x  \n"},
        substitute_case{"LPT1", "TXT", "LPT1.TXT", "_LPT1.TXT", "tavikcut: LPT1.TXT: written as _LPT1.TXT\n"},
        substitute_case{"lPt9", "\0"s, "lPt9.", "_lPt9", "tavikcut: lPt9.: written as _lPt9.\n"}));
#else
// What Windows cannot hold, POSIX can: these are used as built.
INSTANTIATE_TEST_SUITE_P(
    Posix, Substitutes,
    ::testing::Values(substitute_case{".", "\0"s, "..", "_..", "tavikcut: ..: written as _..\n"},
                      substitute_case{" ", "\0"s, ".", "_.", "tavikcut: .: written as _.\n"},
                      substitute_case{"A\\B", "TXT", "A\\B.TXT", "A\\B.TXT"},
                      substitute_case{"C:", "TXT", "C:.TXT", "C:.TXT"},
                      substitute_case{"<>\"|?*", "TXT", "<>\"|?*.TXT", "<>\"|?*.TXT"},
                      substitute_case{"TAB\t", "TXT", "TAB\t.TXT", "TAB\t.TXT"},
                      substitute_case{"\x1f", "\x01", "\x1f.\x01  ", "\x1f.\x01  "},
                      substitute_case{"...", "...", ".......", "......."},
                      substitute_case{"CON", "TXT", "CON.TXT", "CON.TXT"},
                      substitute_case{"NUL\0"s, "", "NUL", "NUL"},
                      substitute_case{"lPt9", "\0"s, "lPt9.", "lPt9."}));
#endif

TEST_F(Tavikcut, SubstituteThatMeetsAnotherNameIsLikeADuplicate)
{
    disk::image img = disk::pack({});
    img.data(20, 0, "first|second|third|fourth");
    img.entry(0, "A/B", "TXT", 20, 1, 0, 5)
        .entry(1, "A_B", "TXT", 20, 1, 6, 6)
        .entry(2, "C_D", "TXT", 20, 1, 13, 5)
        .entry(3, "C/D", "TXT", 20, 1, 19, 6)
        .end(4);
    result r = run({save(img), "x"});
    EXPECT_EQ(r.status, 252);
    EXPECT_EQ(r.err, "tavikcut: A/B.TXT: written as A_B.TXT\n"
                     "tavikcut: C/D.TXT: written as C_D.TXT\n");
    EXPECT_EQ(files(), (files_t{{"A_B.TXT", "second"}, {"C_D.TXT", "fourth"}}));
}

// Names close to the device names, which are files on every host.
TEST_F(Tavikcut, NamesLikeDevicesAreFiles)
{
    disk::image img = patterned_disk();
    img.entry(0, "COM0", "TXT", 20, 1, 0, 1)
        .entry(1, "COM10", "TXT", 20, 1, 0, 2)
        .entry(2, "LPT", "TXT", 20, 1, 0, 3)
        .entry(3, "CONX", "TXT", 20, 1, 0, 4)
        .entry(4, "XNUL", "TXT", 20, 1, 0, 5)
        .end(5);
    result r = run({save(img), "x"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(files(), (files_t{{"COM0.TXT", from_disk(20, 0, 1)},
                                {"COM10.TXT", from_disk(20, 0, 2)},
                                {"LPT.TXT", from_disk(20, 0, 3)},
                                {"CONX.TXT", from_disk(20, 0, 4)},
                                {"XNUL.TXT", from_disk(20, 0, 5)}}));
}

// Windows drops trailing dots and spaces from a name: two names may then meet,
// and the later entry's data stays, as with duplicate names. The image is
// still never replaced, whatever spelling reaches it.
TEST_F(Tavikcut, NamesTrimmedByTheHostMeetLikeDuplicates)
{
    disk::image img = disk::pack({});
    img.data(20, 0, "first|second|third");
    img.entry(0, "A", "TX\0"s, 20, 1, 0, 5)      // "A.TX"
        .entry(1, "A", "TX ", 20, 1, 6, 6)        // "A.TX "
        .entry(2, "DISK.IMG", ". \0"s, 20, 1, 13, 5) // "DISK.IMG.. "
        .end(3);
    img.save((cwd / "DISK.IMG").string());
    result r = run({"DISK.IMG", "x"});
    EXPECT_EQ(r.out, "A.TX\tsec:0x0014 size:0x0001 ofs:0000 ofs2:0005\n"
                     "A.TX \tsec:0x0014 size:0x0001 ofs:0006 ofs2:0006\n"
                     "DISK.IMG.. \tsec:0x0014 size:0x0001 ofs:000d ofs2:0005\n");
    if (on_windows) {
        EXPECT_EQ(r.status, 252);
        EXPECT_EQ(r.err, "tavikcut: DISK.IMG.. : not written: it holds the image being read\n");
        EXPECT_EQ(files(), (files_t{{"A.TX", "second"}, {"DISK.IMG", img.bytes}}));
    } else {
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(files(), (files_t{{"A.TX", "first"}, {"A.TX ", "second"}, {"DISK.IMG", img.bytes}, {"DISK.IMG.. ", "third"}}));
    }
}

TEST_F(Tavikcut, ExistingFilesAreReplaced)
{
    disk::image img = patterned_disk();
    img.entry(0, "EMPTIED", "TXT", 20, 1, 0, 0).entry(1, "SHORTER", "TXT", 20, 1, 0, 3).end(2);
    write_file(cwd / "EMPTIED.TXT", "old contents");
    write_file(cwd / "SHORTER.TXT", "old and longer contents");
    fs::permissions(cwd / "SHORTER.TXT", fs::perms::owner_read); // read-only: still replaced
    result r = run({save(img), "x"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(files(), (files_t{{"EMPTIED.TXT", ""}, {"SHORTER.TXT", from_disk(20, 0, 3)}}));
}

#ifndef _WIN32 // POSIX only: links, special files and modes
TEST_F(Tavikcut, ExistingNamesAreReplacedByNewRegularFiles)
{
    disk::image img = patterned_disk();
    img.entry(0, "PLAIN", "TXT", 20, 1, 0, 0)  // an existing file, emptied
        .entry(1, "LINK", "TXT", 20, 1, 0, 3)  // a symbolic link to a file outside
        .entry(2, "DANGLE", "TXT", 20, 1, 0, 3) // a link to a missing file
        .entry(3, "HARD", "TXT", 20, 1, 0, 3)  // a second hard link of a file outside
        .entry(4, "FIFO", "TXT", 20, 1, 0, 3)
        .entry(5, "SOCK", "TXT", 20, 1, 0, 3)
        .end(6);
    write_file(cwd / "PLAIN.TXT", "old contents");
    chmod((cwd / "PLAIN.TXT").c_str(), 0700);
    write_file(root / "target", "keep me");
    fs::create_symlink(root / "target", cwd / "LINK.TXT");
    fs::create_symlink(root / "missing", cwd / "DANGLE.TXT");
    write_file(root / "linked", "keep me too");
    fs::create_hard_link(root / "linked", cwd / "HARD.TXT");
    ASSERT_EQ(mkfifo((cwd / "FIFO.TXT").c_str(), 0644), 0);
    ASSERT_EQ(mknod((cwd / "SOCK.TXT").c_str(), S_IFSOCK | 0644, 0), 0);

    result r = run({save(img), "x"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    const std::string three = from_disk(20, 0, 3);
    EXPECT_EQ(files(), (files_t{{"PLAIN.TXT", ""},
                                {"LINK.TXT", three},
                                {"DANGLE.TXT", three},
                                {"HARD.TXT", three},
                                {"FIFO.TXT", three},
                                {"SOCK.TXT", three}}));
    EXPECT_EQ(read_file(root / "target"), "keep me");
    EXPECT_EQ(read_file(root / "linked"), "keep me too");
    EXPECT_FALSE(fs::exists(fs::symlink_status(root / "missing")));
    for (const char* name : {"PLAIN.TXT", "LINK.TXT", "HARD.TXT", "FIFO.TXT"}) {
        struct stat st;
        ASSERT_EQ(lstat((cwd / name).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode, S_IFREG | 0644) << name;
        EXPECT_EQ(st.st_nlink, 1u) << name;
    }
}

TEST_F(Tavikcut, NewFilesTakeTheirModeFromTheUmask)
{
    disk::image img = disk::pack({{"A.TXT", "a"}});
    for (mode_t mask : {mode_t{0}, mode_t{027}}) {
        fs::remove(cwd / "A.TXT");
        options opt;
        opt.umask = mask;
        EXPECT_EQ(run({save(img), "x"}, opt).status, 0);
        struct stat st;
        ASSERT_EQ(lstat((cwd / "A.TXT").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0666 & ~mask);
    }
}
#endif

TEST_F(Tavikcut, DirectoryAtTheNameIsReportedAndKept)
{
    disk::image img = patterned_disk();
    img.entry(0, "DIR", "TXT", 20, 1, 0, 3).entry(1, "NEXT", "TXT", 20, 1, 0, 2).end(2);
    fs::create_directory(cwd / "DIR.TXT");
    write_file(cwd / "DIR.TXT" / "inside", "kept");
    result r = run({save(img), "x"});
    EXPECT_EQ(r.status, 252);
    EXPECT_EQ(r.err, "tavikcut: DIR.TXT: can't create: Is a directory\n");
    EXPECT_EQ(files(), (files_t{{"DIR.TXT", "<directory>"}, {"NEXT.TXT", from_disk(20, 0, 2)}}));
    EXPECT_EQ(read_file(cwd / "DIR.TXT" / "inside"), "kept");
}

TEST_F(Tavikcut, TheImageItselfIsNeverReplaced)
{
    disk::image img = disk::pack({{"DISK.IMG", "would overwrite the image"}, {"OTHER.TXT", "fine"}});
    img.save((cwd / "DISK.IMG").string());
    fs::create_hard_link(cwd / "DISK.IMG", root / "alias.img");
    // By its own name, and by another hard link of it in a different folder.
    for (const std::string& path : {"DISK.IMG"s, (root / "alias.img").string()}) {
        result r = run({path, "x"});
        EXPECT_EQ(r.status, 252) << path;
        EXPECT_EQ(r.out, "DISK.IMG\tsec:0x000e size:0x0001 ofs:004d ofs2:0019\n"
                         "OTHER.TXT\tsec:0x000e size:0x0001 ofs:0066 ofs2:0004\n");
        EXPECT_EQ(r.err, "tavikcut: DISK.IMG: not written: it holds the image being read\n");
        EXPECT_EQ(files(), (files_t{{"DISK.IMG", img.bytes}, {"OTHER.TXT", "fine"}}));
    }
}

// Where file systems give each spelling of a name its own identity (FAT
// through user-space drivers), the image is known by its bytes: a file of
// the image's length and contents is kept, one of its length alone is not.
TEST_F(Tavikcut, AByteIdenticalCopyOfTheImageIsKept)
{
    disk::image img = disk::pack({{"DISK.IMG", "would overwrite the image"}, {"SAMELEN.IMG", "replaced"}});
    const std::string path = save(img);
    img.save((cwd / "DISK.IMG").string());
    std::string same_length = img.bytes;
    same_length.back() ^= 1;
    write_file(cwd / "SAMELEN.IMG", same_length);
    result r = run({path, "x"});
    EXPECT_EQ(r.status, 252);
    EXPECT_EQ(r.err, "tavikcut: DISK.IMG: not written: it holds the image being read\n");
    EXPECT_EQ(files(), (files_t{{"DISK.IMG", img.bytes}, {"SAMELEN.IMG", "replaced"}}));
}

// An entry whose data is the whole image writes a copy of it; that copy is
// this run's own file, and a later entry of its name replaces it as any
// duplicate does.
TEST_F(Tavikcut, ACopyOfTheImageMadeByTheRunIsReplacedByALaterEntry)
{
    disk::image img;
    img.signature().data(20, 0, "later");
    img.entry(1, "SAME", "TXT", 20, 1, 0, 5).end(2).resize(20 * disk::sector + 5);
    auto [size, ofs2] = disk::size_fields(img.bytes.size());
    img.entry(0, "SAME", "TXT", 0, static_cast<uint16_t>(size), 0, static_cast<uint16_t>(ofs2));
    result r = run({save(img), "x"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "SAME.TXT\tsec:0x0000 size:0x0015 ofs:0000 ofs2:0005\n"
                     "SAME.TXT\tsec:0x0014 size:0x0001 ofs:0000 ofs2:0005\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(files(), (files_t{{"SAME.TXT", "later"}}));
}

#ifndef _WIN32 // POSIX only: a pipe named by a path
TEST_F(Tavikcut, AnImageThroughAPipeIsNotReplacedEither)
{
    // cat DISK.IMG | tavikcut /dev/stdin x, in the folder that holds it
    disk::image img = disk::pack({{"DISK.IMG", "would overwrite the image"}});
    img.save((cwd / "DISK.IMG").string());
    options opt;
    opt.stdin_pipe = img.bytes;
    result r = run({"/dev/stdin", "x"}, opt);
    EXPECT_EQ(r.status, 252);
    EXPECT_EQ(r.err, "tavikcut: DISK.IMG: not written: it holds the image being read\n");
    EXPECT_EQ(files(), (files_t{{"DISK.IMG", img.bytes}}));
}
#endif

// ---------------------------------------------------------------------------
// How names are shown

TEST_F(Tavikcut, NamesOnATerminalShowOnlyPrintableCharacters)
{
    if (on_windows)
        GTEST_SKIP() << "no console can be made for the program here";
    // ESC [ 2 A ESC [ J BEL would move up and erase the line before; then,
    // in UTF-8, a printable e acute, a non-printable U+0085, a byte that
    // begins no character, and a backslash.
    disk::image img = patterned_disk();
    img.entry(0, "A/B", "TXT", 20, 1, 0, 1)
        .entry(1, "\x1b[2A\x1b[J\x07", "TXT", 20, 1, 0, 2)
        .entry(2, "\xc3\xa9\xc2\x85\xff\\", "X/Y", 20, 1, 0, 3)
        .end(3);
    const std::string path = save(img);
    const std::string listed = "A/B.TXT\tsec:0x0014 size:0x0001 ofs:0000 ofs2:0001\n";
    struct shown_case {
        const char* locale;
        output stdout_to;
        std::string out; // with standard error merged in on a terminal
        std::string err;
    };
    const std::string utf8_err = "tavikcut: A/B.TXT: written as A_B.TXT\n"
                                 "tavikcut: \xc3\xa9\\302\\205\\377\\\\.X/Y: written as \xc3\xa9\\302\\205\\377\\\\.X_Y\n";
    const std::string c_err = "tavikcut: A/B.TXT: written as A_B.TXT\n"
                              "tavikcut: \\303\\251\\302\\205\\377\\\\.X/Y: written as \\303\\251\\302\\205\\377\\\\.X_Y\n";
    const std::string raw = listed + "\x1b[2A\x1b[J\x07.TXT\tsec:0x0014 size:0x0001 ofs:0000 ofs2:0002\n"
                                     "\xc3\xa9\xc2\x85\xff\\.X/Y\tsec:0x0014 size:0x0001 ofs:0000 ofs2:0003\n";
    for (const shown_case& c : std::vector<shown_case>{
             {"C.UTF-8", output::terminal,
              listed + "tavikcut: A/B.TXT: written as A_B.TXT\n"
                       "?[2A?[J?.TXT\tsec:0x0014 size:0x0001 ofs:0000 ofs2:0002\n"
                       "\xc3\xa9??\\.X/Y\tsec:0x0014 size:0x0001 ofs:0000 ofs2:0003\n"
                       "tavikcut: \xc3\xa9\\302\\205\\377\\\\.X/Y: written as \xc3\xa9\\302\\205\\377\\\\.X_Y\n",
              ""},
             {"C.UTF-8", output::pipe, raw, utf8_err},
             // In the C locale no byte above 0x7f is a printable character.
             {"C", output::terminal,
              listed + "tavikcut: A/B.TXT: written as A_B.TXT\n"
                       "?[2A?[J?.TXT\tsec:0x0014 size:0x0001 ofs:0000 ofs2:0002\n"
                       "?????\\.X/Y\tsec:0x0014 size:0x0001 ofs:0000 ofs2:0003\n"
                       "tavikcut: \\303\\251\\302\\205\\377\\\\.X/Y: written as \\303\\251\\302\\205\\377\\\\.X_Y\n",
              ""},
             {"C", output::pipe, raw, c_err},
         }) {
        // A statically linked C library of another byte order cannot load
        // this machine's locale files.
        if (std::setlocale(LC_CTYPE, c.locale) == nullptr) {
            std::cout << "skipped: " << c.locale << " cannot be loaded here\n";
            continue;
        }
        std::setlocale(LC_CTYPE, "C");
        const bool terminal = c.stdout_to == output::terminal;
        options opt;
        opt.locale = c.locale;
        opt.stdout_to = c.stdout_to;
        opt.merge_stderr = terminal;
        result r = run({path, "x"}, opt);
        const std::string what = std::string(c.locale) + (terminal ? ", terminal" : ", pipe");
        EXPECT_EQ(r.status, 252) << what;
        EXPECT_EQ(r.out, c.out) << what;
        EXPECT_EQ(r.err, c.err) << what;
        // The files are created under the names as built.
        EXPECT_EQ(files(), (files_t{{"A_B.TXT", from_disk(20, 0, 1)},
                                    {"\x1b[2A\x1b[J\x07.TXT", from_disk(20, 0, 2)},
                                    {"\xc3\xa9\xc2\x85\xff\\.X_Y", from_disk(20, 0, 3)}}))
            << what;
    }
}

// ---------------------------------------------------------------------------
// Failures while writing

#ifndef _WIN32 // POSIX only: file size limits, a removed working folder, closed and full devices
TEST_F(Tavikcut, FailedWriteRemovesThePartialFile)
{
    // Past the file size limit a write comes back short, then fails.
    disk::image img = patterned_disk();
    img.entry(0, "BIG", "BIN", 20, 4, 0, 100).entry(1, "SMALL", "BIN", 21, 1, 0, 200).end(2);
    write_file(cwd / "BIG.BIN", "previous");
    options opt;
    opt.file_size_limit = 1024;
    result r = run({save(img), "x"}, opt);
    EXPECT_EQ(r.status, 252);
    EXPECT_EQ(r.err, "tavikcut: BIG.BIN: can't write: File too large\n");
    EXPECT_EQ(files(), (files_t{{"SMALL.BIN", from_disk(21, 0, 200)}}));
}

TEST_F(Tavikcut, FailedCreateIsReportedAndTheWalkGoesOn)
{
    // The working directory is removed under the program: nothing can be created.
    disk::image img = disk::pack({{"A.TXT", "a"}, {"B.TXT", "b"}});
    options opt;
    opt.before_exec = [] { rmdir("../cwd"); };
    result r = run({save(img), "x"}, opt);
    EXPECT_EQ(r.status, 252);
    EXPECT_EQ(r.out, "A.TXT\tsec:0x000e size:0x0001 ofs:004d ofs2:0001\n"
                     "B.TXT\tsec:0x000e size:0x0001 ofs:004e ofs2:0001\n");
    EXPECT_EQ(r.err, "tavikcut: A.TXT: can't create: No such file or directory\n"
                     "tavikcut: B.TXT: can't create: No such file or directory\n");
}

TEST_F(Tavikcut, ListingThatCannotBeWrittenIsReported)
{
    disk::image img = disk::pack({{"A.TXT", "alpha"}, {"B.TXT", "beta"}});
    struct out_case {
        const char* what;
        options opt;
        const char* err;
    };
    options full;
    full.stdout_path = "/dev/full";
    options closed;
    closed.close_stdout = true;
    for (const out_case& c : {out_case{"full device", full, "tavikcut: standard output: No space left on device\n"},
                              out_case{"closed", closed, "tavikcut: standard output: Bad file descriptor\n"}}) {
        fs::remove_all(cwd);
        fs::create_directory(cwd);
        result r = run({save(img), "x"}, c.opt);
        EXPECT_EQ(r.status, 252) << c.what;
        EXPECT_EQ(r.err, c.err) << c.what;
        EXPECT_EQ(files(), (files_t{{"A.TXT", "alpha"}, {"B.TXT", "beta"}})) << c.what;
    }
}
#endif

// ---------------------------------------------------------------------------
// Runs cut short

#ifdef _WIN32
// Ctrl-Break, sent to the program's own process group, where Ctrl-C is off.
const std::vector<int> interrupts{CTRL_BREAK_EVENT};

bool interrupt(DWORD process, int event)
{
    return GenerateConsoleCtrlEvent(static_cast<DWORD>(event), process) != 0;
}

int status_after(int)
{
    return STATUS_CONTROL_C_EXIT & 0xFF;
}
#else
const std::vector<int> interrupts{SIGINT, SIGTERM, SIGHUP};

bool interrupt(pid_t process, int signal)
{
    return kill(process, signal) == 0;
}

int status_after(int signal)
{
    return 128 + signal;
}
#endif

// Four files of nearly 32 MiB each, the largest an entry can describe. Sector
// numbers stop at 32 MiB, so they overlap, each starting 8 sectors on.
constexpr size_t large_file_units = 0xfff0;

disk::image large_files_disk()
{
    disk::image img;
    img.signature().data(16, 0, pattern((large_file_units + 24) * disk::sector));
    for (uint16_t k = 0; k < 4; ++k)
        img.entry(k, "BIG" + std::to_string(k), "BIN", static_cast<uint16_t>(16 + 8 * k),
                  static_cast<uint16_t>(large_file_units - k), 0, 512);
    return img.end(4);
}

files_t large_files()
{
    const std::string all = pattern((large_file_units + 24) * disk::sector);
    files_t expected;
    for (size_t k = 0; k < 4; ++k)
        expected["BIG" + std::to_string(k) + ".BIN"] = all.substr(8 * k * disk::sector, (large_file_units - k) * disk::sector);
    return expected;
}

// Interrupted at moments spread over a run, every file left is whole, and the
// run ends by the signal that interrupted it.
TEST_F(Tavikcut, AnInterruptLeavesOnlyWholeFiles)
{
    const std::string path = save(large_files_disk());
    const files_t expected = large_files();

    // How long a whole run takes here, once the caches are warm, to spread
    // the interrupts over it.
    ASSERT_EQ(run({path, "x"}).status, 0);
    auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(run({path, "x"}).status, 0);
    auto whole_run = std::chrono::steady_clock::now() - started;

    const int runs = 15;
    int interrupted = 0;
    for (int k = 0; k < runs; ++k) {
        fs::remove_all(cwd);
        fs::create_directory(cwd);
        const int signal = interrupts[static_cast<size_t>(k) % interrupts.size()];
        bool delivered = true;
        options opt;
        opt.while_running = [&](auto pid) {
            std::this_thread::sleep_for(whole_run * k / runs);
            delivered = interrupt(pid, signal);
        };
        result r = run({path, "x"}, opt);
        if (!delivered && on_windows)
            GTEST_SKIP() << "no console control event can be sent here (Wine without a console)";
        files_t left = files();
        for (const auto& [name, data] : left) {
            ASSERT_TRUE(expected.count(name)) << name;
            EXPECT_TRUE(data == expected.at(name)) << name << " is " << data.size() << " bytes, run " << k;
        }
        if (r.status == 0) {
            EXPECT_EQ(left, expected);
        } else {
            EXPECT_EQ(r.status, status_after(signal)) << "run " << k;
            ++interrupted;
        }
    }
    EXPECT_GT(interrupted, runs / 2) << "too few runs were cut short to tell anything";
}

#ifndef _WIN32 // POSIX only: SIGPIPE, ignored signals, address-space limits
TEST_F(Tavikcut, AListingReaderThatGoesAwayStopsNoExtraction)
{
    // tavikcut disk.img x | head -n 0: the listing outgrows every buffer.
    std::vector<disk::file> content;
    for (int i = 0; i < 600; ++i)
        content.push_back({"F" + std::to_string(i).append(".DAT"), pattern(static_cast<size_t>(i), static_cast<unsigned>(i))});
    options opt;
    opt.stdout_to = output::closed_pipe;
    result r = run({save(disk::pack(content)), "x"}, opt);
    EXPECT_EQ(r.status, 252);
    EXPECT_EQ(r.err, "tavikcut: standard output: Broken pipe\n");
    files_t expected;
    for (const disk::file& f : content)
        expected[f.name] = f.content;
    EXPECT_EQ(files(), expected);
}

TEST_F(Tavikcut, ASignalIgnoredFromTheStartStaysIgnored)
{
    // nohup: SIGHUP was ignored by the parent and is not caught here.
    options opt;
    opt.before_exec = [] { std::signal(SIGHUP, SIG_IGN); };
    opt.while_running = [](pid_t pid) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        kill(pid, SIGHUP);
    };
    result r = run({save(large_files_disk()), "x"}, opt);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(files(), large_files());
}

// An address-space limit works only without the sanitizers' shadow memory.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
TEST_F(Tavikcut, TooLittleMemoryIsReported)
{
    if (emulated)
        GTEST_SKIP() << "an address-space limit binds the emulator too";
    // A sparse image of 1.5 GiB against an address space of 1 GiB.
    const std::string big = (root / "big.img").string();
    write_file(big, "");
    fs::resize_file(big, uintmax_t{3} << 29);
    options opt;
    opt.before_exec = [] {
        rlimit limit{rlim_t{1} << 30, rlim_t{1} << 30};
        setrlimit(RLIMIT_AS, &limit);
    };
    result r = run({big, "x"}, opt);
    EXPECT_EQ(r.status, 254);
    EXPECT_EQ(r.out, "error: not enough memory for " + big + "\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(files(), files_t{});
}

TEST_F(Tavikcut, APipesBufferGrowsWithoutASecondCopy)
{
    if (emulated)
        GTEST_SKIP() << "an address-space limit binds the emulator too";
    // 130 MiB through a pipe: its buffer grows to 256 MiB. Holding that and
    // the full 128 MiB one at once would pass the limit of 320 MiB.
    disk::image img = disk::pack({{"A.TXT", "a"}});
    img.resize(130 * 1024 * 1024);
    options opt;
    opt.stdin_pipe = img.bytes;
    opt.before_exec = [] {
        rlimit limit{rlim_t{320} << 20, rlim_t{320} << 20};
        setrlimit(RLIMIT_AS, &limit);
    };
    result r = run({"/dev/stdin", "x"}, opt);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "A.TXT\tsec:0x000e size:0x0001 ofs:0039 ofs2:0001\n");
    EXPECT_EQ(files(), (files_t{{"A.TXT", "a"}}));
}
#endif
#endif

// ---------------------------------------------------------------------------
// The sample disk

std::vector<fs::path> sample_files()
{
    std::vector<fs::path> found;
    for (const fs::directory_entry& e : fs::directory_iterator(fs::path(SAMPLE_DIR) / "files"))
        found.push_back(e.path());
    std::sort(found.begin(), found.end());
    return found;
}

TEST_F(Tavikcut, SampleImageHoldsExactlyItsFiles)
{
    files_t expected;
    for (const fs::path& p : sample_files())
        expected[p.filename().string()] = read_file(p);
    ASSERT_FALSE(expected.empty());
    result r = run({SAMPLE_DIR "/sample.img", "x"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(files(), expected);
}

TEST_F(Tavikcut, SampleImageIsWhatTheBuilderMakesOfItsFiles)
{
    // What mkimage sample/sample.img sample/files/* writes, as the README says.
    std::vector<disk::file> content;
    for (const fs::path& p : sample_files())
        content.push_back({p.filename().string(), read_file(p)});
    EXPECT_EQ(disk::pack(content).bytes, read_file(SAMPLE_DIR "/sample.img"));
}

} // namespace
