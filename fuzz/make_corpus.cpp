// Writes the fuzz seed corpus: small images made with the test suite's image
// builder, each showing one kind of disk the program must handle.
#include "../tests/image_builder.h"

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

using namespace std::string_literals;

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fputs("usage: make_corpus <folder>\n", stderr);
        return 2;
    }
    const std::filesystem::path dir = argv[1];
    std::filesystem::create_directories(dir);
    auto save = [&](const char* name, const disk::image& img) { img.save((dir / name).string()); };

    save("valid", disk::pack({{"README.TXT", "hello\n"}, {"DATA.BIN", std::string(1300, '\x5a')}, {"E.", ""}}));
    save("empty-directory", disk::pack({}));
    std::vector<disk::file> files;
    for (int i = 0; i < 60; ++i)
        files.push_back({"F" + std::to_string(i) + ".DAT", std::string(static_cast<size_t>(i), static_cast<char>('a' + i % 26))});
    save("many-files", disk::pack(files));

    disk::image no_marker;
    no_marker.signature().data(1, 0, "abcdef").entry(0, "ONE", "TXT", 1, 1, 0, 3).entry(1, "TWO", "TXT", 1, 1, 3, 3);
    save("no-end-marker", no_marker);
    save("entry-cut-short", disk::image(no_marker).resize(no_marker.bytes.size() - 7));

    disk::image past_end;
    past_end.signature().data(15, 0, "0123456789");
    past_end.entry(0, "PART", "TXT", 15, 1, 4, 100).entry(1, "FAR", "TXT", 0xffff, 0xffff, 0xffff, 0xffff).end(2);
    save("range-past-end", past_end);

    disk::image negative;
    negative.signature().data(15, 0, "xyz");
    negative.entry(0, "NEG", "A", 15, 0, 0, 0).entry(1, "ZERO", "B", 15, 0, 0, 512).entry(2, "BIG", "OFS", 15, 1, 600, 2);
    save("negative-length", negative.end(3).resize(15 * 512 + 700));

    disk::image odd;
    odd.signature().data(15, 0, "odd names");
    odd.entry(0, "../ETC", "PWD", 15, 1, 0, 3)
        .entry(1, ".", "\0"s, 15, 1, 0, 3)
        .entry(2, " ", "\0"s, 15, 1, 0, 3)
        .entry(3, "A\\B:C", "   ", 15, 1, 0, 3)
        .entry(4, "\xe9\xff\x01", "\x80\x7f\x1b", 15, 1, 0, 3)
        .entry(5, "NUL", "\0X"s, 15, 1, 0, 3)
        .entry(6, "CON", "TXT", 15, 1, 0, 3)
        .entry(7, "TRAIL.", " . ", 15, 1, 0, 3)
        .end(8);
    save("odd-names", odd);

    disk::image duplicates;
    duplicates.signature().data(15, 0, "first|second");
    duplicates.entry(0, "SAME", "TXT", 15, 1, 0, 5).entry(1, "SAME", "TXT", 15, 1, 6, 6).end(2);
    save("duplicate-names", duplicates);

    // The first entry's data is the whole image, so its file is a copy of it.
    disk::image whole;
    whole.signature().data(15, 0, "later").entry(1, "SAME", "TXT", 15, 1, 0, 5).end(2).resize(15 * 512 + 5);
    auto [size, ofs2] = disk::size_fields(whole.bytes.size());
    whole.entry(0, "SAME", "TXT", 0, static_cast<uint16_t>(size), 0, static_cast<uint16_t>(ofs2));
    save("whole-image-entry", whole);

    save("bad-signature", disk::image(disk::pack({{"A.TXT", "a"}})).signature("tavik"));
    save("short-image", disk::image{disk::pack({{"A.TXT", "a"}}).bytes.substr(0, disk::signature_at + 3)});

    disk::image marker_then_junk = disk::pack({});
    marker_then_junk.entry(1, "JUNK", "TXT", 15, 1, 0, 3).resize(16 * 512);
    save("marker-then-junk", marker_then_junk);
    return 0;
}
