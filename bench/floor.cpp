// The floor for the benchmark: the least any extractor of these images must
// do. One read of the image, then per directory entry only unlink, open, one
// write and close; no listing, no checks of any kind.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc < 2)
        return 2;
    int fd = open(argv[1], O_RDONLY);
    struct stat st;
    fstat(fd, &st);
    size_t size = static_cast<size_t>(st.st_size);
    auto* image = static_cast<unsigned char*>(std::malloc(size));
    if (read(fd, image, size) != static_cast<ssize_t>(size))
        return 1;
    close(fd);

    for (size_t at = 0x1C11; at + 20 <= size && image[at] != 0; at += 20) {
        const unsigned char* e = image + at;
        char name[13] = {};
        size_t n = 0;
        while (n < 8 && e[n] != ' ')
            name[n] = static_cast<char>(e[n]), ++n;
        name[n++] = '.';
        std::memcpy(name + n, e + 8, 3);
        uint32_t sec = e[11] | e[12] << 8, units = e[13] | e[14] << 8;
        uint32_t ofs = e[15] | e[16] << 8, last = e[17] | e[18] << 8;
        unlink(name);
        int out = open(name, O_WRONLY | O_CREAT | O_TRUNC, 0666);
        if (write(out, image + sec * 512 + ofs, (units - 1) * 512 + last) < 0)
            return 1;
        close(out);
    }
    std::free(image);
    return 0;
}
