// libFuzzer target: each input is a whole image file, run through the
// program's real path (load, signature, walk, listing, files written) in a
// scratch folder that is emptied between inputs.
//
// The program's one source file is compiled into this target with its main
// renamed, so the target calls exactly what the command line would; nothing
// in the program knows about the fuzzer.
#define main tavikcut_main
#include "../src/tavikcut.cpp"
#undef main

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>

namespace fs = std::filesystem;

namespace {

// Standard error as it was before libFuzzer's -close_fd_mask=2 silenced the
// program's diagnostics, so that a broken invariant is still seen.
int report_fd = STDERR_FILENO;

[[noreturn]] void fail(const std::string& what)
{
    dprintf(report_fd, "invariant broken: %s\n", what.c_str());
    std::abort();
}

// base holds the image file and out/, the working directory of each run.
fs::path base;

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    report_fd = dup(STDERR_FILENO);
    std::string pattern = (fs::temp_directory_path() / "tavikcut-fuzz-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        fail("cannot make a scratch folder");
    base = pattern;
    fs::create_directory(base / "out");
    fs::current_path(base / "out");
    // The listing is not wanted here; diagnostics go with -close_fd_mask=2.
    if (std::freopen("/dev/null", "w", stdout) == nullptr)
        fail("cannot send standard output to /dev/null");
    std::atexit([] {
        std::error_code ec;
        fs::remove_all(base, ec);
    });
    return 0;
}

namespace {

// What each file name may hold at most: the data length of the last entry
// written under that name, decoded here independently of the program.
std::map<std::string, uint64_t> longest_allowed(const uint8_t* data, size_t size)
{
    std::map<std::string, uint64_t> allowed;
    if (size < 0x1C0B || std::memcmp(data + 0x1C06, "Tavik", 5) != 0)
        return allowed;
    for (size_t at = 0x1C11; at + 20 <= size && data[at] != 0; at += 20) {
        std::string name;
        for (size_t i = 0; i < 8 && data[at + i] != ' '; ++i)
            name.push_back(static_cast<char>(data[at + i]));
        name.push_back('.');
        name.append(reinterpret_cast<const char*>(data + at + 8), 3);
        name.resize(std::strlen(name.c_str()));
        // The name a POSIX host writes it under.
        std::replace(name.begin(), name.end(), '/', '_');
        if (name == "." || name == "..")
            name.insert(0, "_");
        auto field = [&](size_t off) { return uint32_t{data[at + off]} | uint32_t{data[at + off + 1]} << 8; };
        int32_t length = static_cast<int32_t>((field(13) - 1) * 512 + field(17));
        allowed[name] = length < 0 ? 0 : static_cast<uint64_t>(length);
    }
    return allowed;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    {
        std::ofstream image(base / "image.img", std::ios::binary | std::ios::trunc);
        image.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
        if (!image.flush())
            fail("cannot write the image");
    }

    char arg0[] = "tavikcut", arg1[] = "../image.img", arg2[] = "x";
    char* argv[] = {arg0, arg1, arg2, nullptr};
    int status = tavikcut_main(3, argv);
    std::clearerr(stdout);
    if (status != 0 && status != -3 && status != -4)
        fail("unexpected status " + std::to_string(status));

    // Nothing outside out/ but the image, which is whole.
    for (const fs::directory_entry& e : fs::directory_iterator(base)) {
        std::string name = e.path().filename().string();
        if (name != "out" && name != "image.img")
            fail("created outside the scratch folder: " + name);
    }
    if (fs::file_size(base / "image.img") != size)
        fail("the image changed");

    // Only regular files, each no longer than its entry's data.
    std::map<std::string, uint64_t> allowed = longest_allowed(data, size);
    for (const fs::directory_entry& e : fs::directory_iterator(base / "out")) {
        std::string name = e.path().filename().string();
        if (!e.is_regular_file() || e.is_symlink())
            fail("not a regular file: " + name);
        auto it = allowed.find(name);
        if (it == allowed.end())
            fail("no entry gives the name " + name);
        if (e.file_size() > it->second)
            fail("longer than its entry: " + name);
    }
    for (const fs::directory_entry& e : fs::directory_iterator(base / "out"))
        fs::remove_all(e.path());
    return 0;
}
