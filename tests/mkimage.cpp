// mkimage OUT FILE...: writes a disk image holding the given files, in order,
// each under its own base name (which must be an 8.3 name).
#include "image_builder.h"

#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fputs("usage: mkimage <image> [file...]\n", stderr);
        return 2;
    }
    try {
        std::vector<disk::file> files;
        for (int i = 2; i < argc; ++i) {
            std::ifstream in(argv[i], std::ios::binary);
            std::string content{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
            if (!in && !in.eof())
                throw std::runtime_error(std::string("cannot read ") + argv[i]);
            files.push_back({std::filesystem::path(argv[i]).filename().string(), std::move(content)});
        }
        disk::pack(files).save(argv[1]);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "mkimage: %s\n", e.what());
        return 1;
    }
    return 0;
}
