// A small builder of disk images for the tests, the sample and the benchmark.
//
// An image is a byte string: the signature at its place in sector 14, the
// directory behind it, and file data placed by sector and offset. Every
// setter grows the image as needed; resize() cuts it to any length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace disk {

inline constexpr size_t sector = 512;
inline constexpr size_t signature_at = 0x1C06;
inline constexpr size_t directory_at = 0x1C11;
inline constexpr size_t entry_bytes = 20;

class image {
public:
    std::string bytes;

    image& signature(std::string_view text = "Tavik") { return put(signature_at, text); }

    // Entry k of the directory. The name and extension are stored as given,
    // padded with spaces to 8 and 3 bytes; the unused 20th byte is 0.
    image& entry(size_t k, std::string_view name, std::string_view ext, uint16_t sec, uint16_t size, uint16_t ofs,
                 uint16_t ofs2)
    {
        std::string fields(name.substr(0, 8));
        fields.resize(8, ' ');
        fields.append(ext.substr(0, 3));
        fields.resize(11, ' ');
        for (uint16_t v : {sec, size, ofs, ofs2}) {
            fields.push_back(static_cast<char>(v & 0xFF));
            fields.push_back(static_cast<char>(v >> 8));
        }
        fields.push_back('\0');
        return put(directory_at + k * entry_bytes, fields);
    }

    // The end marker: an entry whose first byte is 0.
    image& end(size_t k) { return put(directory_at + k * entry_bytes, std::string(entry_bytes, '\0')); }

    image& data(size_t sec, size_t ofs, std::string_view content) { return put(sec * sector + ofs, content); }

    image& put(size_t offset, std::string_view content)
    {
        if (bytes.size() < offset + content.size())
            bytes.resize(offset + content.size(), '\0');
        bytes.replace(offset, content.size(), content);
        return *this;
    }

    image& resize(size_t length)
    {
        bytes.resize(length, '\0');
        return *this;
    }

    void save(const std::string& path) const
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        out.close();
        if (!out)
            throw std::runtime_error("cannot write " + path);
    }
};

struct file {
    std::string name; // NAME.EXT, at most 8 and 3 bytes
    std::string content;
};

// The size and ofs2 fields of a file of the given length: whole 512-byte
// units, the last partial one counted as one, and the bytes in the last.
inline std::pair<size_t, size_t> size_fields(size_t length)
{
    size_t units = length == 0 ? 1 : (length + sector - 1) / sector;
    return {units, length - (units - 1) * sector};
}

// A valid disk holding the files in order: the directory with its end marker,
// then each file's data right after the previous one's, so that most files
// begin inside a sector.
inline image pack(const std::vector<file>& files)
{
    image img;
    img.signature();
    size_t at = directory_at + (files.size() + 1) * entry_bytes;
    for (size_t k = 0; k < files.size(); ++k) {
        const file& f = files[k];
        size_t dot = f.name.rfind('.');
        if (dot == std::string::npos || dot > 8 || f.name.size() - dot - 1 > 3)
            throw std::invalid_argument("not an 8.3 name: " + f.name);
        auto [size, ofs2] = size_fields(f.content.size());
        if (at / sector > UINT16_MAX || size > UINT16_MAX)
            throw std::length_error("files do not fit on a disk");
        img.entry(k, f.name.substr(0, dot), f.name.substr(dot + 1), static_cast<uint16_t>(at / sector),
                  static_cast<uint16_t>(size), static_cast<uint16_t>(at % sector), static_cast<uint16_t>(ofs2));
        img.put(at, f.content);
        at += f.content.size();
    }
    img.end(files.size());
    return img;
}

} // namespace disk
