// tavikcut: extract every file of a raw disk image into the current directory.
//
// The whole image is read into memory, its signature checked, and then each
// directory entry is listed on standard output and its bytes are written,
// straight from the image, to a file of the entry's name.

// Sizes of files over 2 GiB, where off_t is otherwise 32 bits (Windows, 32-bit
// hosts): an image is judged too large from its real size.
#define _FILE_OFFSET_BITS 64

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cstdarg>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <memory>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

// Disk layout.
static constexpr uint32_t sector_size = 512;
static constexpr char disk_signature[] = {'T', 'a', 'v', 'i', 'k'};
static constexpr uint32_t signature_offset = 0x1C06;
static constexpr uint32_t directory_offset = 0x1C11;
static constexpr uint32_t entry_size = 20;

// Fields of a directory entry, as offsets into it.
static constexpr uint32_t name_length = 8;
static constexpr uint32_t extension_offset = 8;
static constexpr uint32_t extension_length = 3;
static constexpr uint32_t sec_offset = 11;
static constexpr uint32_t size_offset = 13;
static constexpr uint32_t ofs_offset = 15;
static constexpr uint32_t ofs2_offset = 17;

// The largest image the signed 32-bit length can describe.
static constexpr size_t max_image_length = INT32_MAX;

// First buffer size for an image whose length is not known in advance.
static constexpr size_t unknown_length_chunk = 64 * 1024;

// Identity of a file, so that extraction never replaces the image: the
// name an entry gives may reach it by another spelling or another link.
struct file_id {
    uint64_t device;
    uint64_t index;
    bool known;
};

static bool same_file(const file_id& a, const file_id& b)
{
    return a.known && b.known && a.device == b.device && a.index == b.index;
}

// What a name in the current directory holds before an output file is
// created there.
enum class existing { file, directory, unknown };

// The output file in progress, for the interrupt handler: its name is set
// before it is created, and the state says how far it has come.
enum { output_idle, output_creating, output_writing };
static char output_name[32];
static volatile sig_atomic_t output_fd = -1;
static volatile sig_atomic_t output_state = output_idle;

// ---------------------------------------------------------------------------
// The host: how files are opened, identified and named. The rest of the
// program is the same everywhere.

#ifdef _WIN32

static constexpr int image_flags = O_RDONLY | O_BINARY;
// CREATE_NEW underneath: an existing name, a link included, is never opened.
static constexpr int output_flags = O_WRONLY | O_CREAT | O_EXCL | O_BINARY;
static constexpr int output_mode = S_IREAD | S_IWRITE;
// A file already at an output name, opened only to compare it with the image.
static constexpr int existing_flags = O_RDONLY | O_BINARY;

static file_id identify_handle(HANDLE h, BY_HANDLE_FILE_INFORMATION& info)
{
    if (h == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(h, &info))
        return {0, 0, false};
    return {info.dwVolumeSerialNumber, uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow, true};
}

static file_id identify_open_file(int fd)
{
    BY_HANDLE_FILE_INFORMATION info;
    return identify_handle(reinterpret_cast<HANDLE>(_get_osfhandle(fd)), info);
}

// The file at name itself, not what a link there points to; length is set
// only for a regular file.
static existing identify_name(const char* name, file_id& id, uint64_t& length)
{
    HANDLE h = CreateFileA(name, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    BY_HANDLE_FILE_INFORMATION info;
    id = identify_handle(h, info);
    if (h != INVALID_HANDLE_VALUE)
        CloseHandle(h);
    if (!id.known) {
        errno = EACCES;
        return existing::unknown;
    }
    if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        return existing::directory;
    if (!(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        length = uint64_t{info.nFileSizeHigh} << 32 | info.nFileSizeLow;
    return existing::file;
}

// A read-only file is replaced as anywhere else, so its attribute is lifted
// first where that is what stands in the way.
static int remove_name(const char* name)
{
    if (unlink(name) == 0)
        return 0;
    if (errno != EACCES || _chmod(name, S_IREAD | S_IWRITE) != 0)
        return -1;
    return unlink(name);
}

// Separators, drive and stream colons, wildcards and control bytes.
static bool host_forbids(char c)
{
    return static_cast<unsigned char>(c) < 0x20 || std::strchr("/\\:<>\"|?*", c) != nullptr;
}

// Names that Windows trims to nothing, and device names, which reach a
// device instead of a file whatever follows the first dot.
static bool host_reserves(const char* name)
{
    static constexpr const char* devices[] = {"CON", "PRN", "AUX", "NUL"};
    size_t whole = std::strlen(name);
    while (whole > 0 && (name[whole - 1] == ' ' || name[whole - 1] == '.'))
        --whole;
    size_t length = std::strcspn(name, ".");
    while (length > 0 && name[length - 1] == ' ')
        --length;
    if (whole == 0)
        return true;
    for (const char* device : devices)
        if (length == 3 && _strnicmp(name, device, 3) == 0)
            return true;
    return length == 4 && (_strnicmp(name, "COM", 3) == 0 || _strnicmp(name, "LPT", 3) == 0) && name[3] >= '1' &&
           name[3] <= '9';
}

// A console, not any character device: NUL is one of those too.
static bool listing_on_terminal()
{
    DWORD mode;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

static void populate(unsigned char*, size_t) {}

// Ctrl-C and Ctrl-Break are handled on a thread of their own while the main
// thread goes on, so the handler first stops the main thread, at a moment
// when no file is half-created, then removes the file being written and ends
// the process as an unhandled Ctrl-C would.
static HANDLE main_thread;

static BOOL WINAPI on_interrupt(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        return FALSE;
    for (;;) {
        SuspendThread(main_thread);
        CONTEXT context{};
        context.ContextFlags = CONTEXT_CONTROL;
        GetThreadContext(main_thread, &context); // returns once it has stopped
        if (output_state != output_creating)
            break;
        ResumeThread(main_thread);
        Sleep(1);
    }
    if (output_state == output_writing) {
        CloseHandle(reinterpret_cast<HANDLE>(_get_osfhandle(output_fd)));
        DeleteFileA(output_name);
    }
    TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
    return TRUE;
}

static void set_up_host()
{
    // The listing and diagnostics end their lines with \n, as on every host.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    // A process started with Ctrl-C disabled keeps it so: Windows then calls
    // no handler for it.
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &main_thread, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    SetConsoleCtrlHandler(on_interrupt, TRUE);
}

#else

static constexpr int image_flags = O_RDONLY | O_CLOEXEC;
// An existing name, a link included, is never opened.
static constexpr int output_flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
static constexpr mode_t output_mode = 0666;
// A file already at an output name, opened only to compare it with the image;
// should a FIFO have taken its place, the open does not wait for a writer.
static constexpr int existing_flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;

static file_id identity_of(const struct stat& st)
{
    return {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino), true};
}

static file_id identify_open_file(int fd)
{
    struct stat st;
    return fstat(fd, &st) == 0 ? identity_of(st) : file_id{0, 0, false};
}

// The file at name itself, not what a link there points to; length is set
// only for a regular file.
static existing identify_name(const char* name, file_id& id, uint64_t& length)
{
    struct stat st;
    if (lstat(name, &st) == -1) {
        id = {0, 0, false};
        return existing::unknown;
    }
    id = identity_of(st);
    if (S_ISDIR(st.st_mode))
        return existing::directory;
    if (S_ISREG(st.st_mode))
        length = static_cast<uint64_t>(st.st_size);
    return existing::file;
}

static int remove_name(const char* name)
{
    return unlink(name);
}

static bool host_forbids(char c)
{
    return c == '/';
}

static bool host_reserves(const char*)
{
    return false;
}

static bool listing_on_terminal()
{
    return isatty(STDOUT_FILENO) == 1;
}

// Has the kernel hand over all of a buffer's pages at once, before a read
// fills it, instead of one fault per page, and in huge pages where it has
// them free. Kernels before Linux 5.14 refuse, and the read then faults the
// pages in as it goes.
static void populate(unsigned char* buffer, size_t length)
{
#ifdef MADV_POPULATE_WRITE
    const auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    const auto at = reinterpret_cast<uintptr_t>(buffer);
    const uintptr_t begin = (at + page - 1) & ~(page - 1);
    const uintptr_t end = (at + length) & ~(page - 1);
    if (end > begin) {
        (void)madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
        (void)madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE);
    }
#else
    (void)buffer;
    (void)length;
#endif
}

// The interrupt handler removes the file being written, then ends the process
// by the same signal, as if it had not been caught. While the file is being
// created, the name may still hold an older file: only an empty regular file
// there, which is what the new one is at first, is removed.
static void on_interrupt(int number)
{
    struct stat st;
    if (output_state == output_writing ||
        (output_state == output_creating && lstat(output_name, &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0))
        unlink(output_name);
    std::signal(number, SIG_DFL);
    raise(number);
}

static void set_up_host()
{
    // Past a file size limit, write fails with EFBIG instead of the process
    // being killed with a truncated file left behind.
    std::signal(SIGXFSZ, SIG_IGN);
    // A listing reader that goes away does not stop the extraction: the
    // failed write is reported at the end instead.
    std::signal(SIGPIPE, SIG_IGN);
    // A signal ignored from the start, as under nohup, stays ignored.
    for (int interrupt : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction action {};
        if (sigaction(interrupt, nullptr, &action) == 0 && action.sa_handler != SIG_IGN) {
            action.sa_handler = on_interrupt;
            sigemptyset(&action.sa_mask);
            action.sa_flags = 0;
            sigaction(interrupt, &action, nullptr);
        }
    }
}

#endif

// Reads and writes are issued in pieces no larger than every host's call
// accepts; an image of up to 1 GiB is read in one call.
static constexpr size_t largest_transfer = size_t{1} << 30;

// ---------------------------------------------------------------------------

// The image buffer comes from malloc, so that a pipe's buffer can grow with
// realloc, which moves a large block by remapping it rather than by holding
// the old and the new copy at once.
struct free_bytes {
    void operator()(unsigned char* p) const { std::free(p); }
};

struct loaded_image {
    std::unique_ptr<unsigned char[], free_bytes> bytes;
    int32_t length;
    file_id id;
};

enum class load_result { loaded, cannot_open, cannot_read, too_large, no_memory };

void usage()
{
    std::puts("usage: tavikcut <filename> <prefix>");
}

// Reads fd to its end. A regular file's buffer has exactly its length and is
// populated before the read; a pipe's grows as its data comes. Whether more
// follows a full buffer is asked with a read into a small spare buffer, so no
// buffer is ever larger than the largest image.
static load_result read_image(int fd, bool length_known, size_t known_length, loaded_image& image)
{
    size_t capacity = length_known ? known_length : unknown_length_chunk;
    image.bytes.reset(static_cast<unsigned char*>(std::malloc(std::max<size_t>(capacity, 1))));
    if (!image.bytes)
        return load_result::no_memory;
    if (length_known)
        populate(image.bytes.get(), capacity);

    unsigned char spare[4096];
    size_t length = 0;
    for (;;) {
        const bool full = length == capacity;
        unsigned char* into = full ? spare : image.bytes.get() + length;
        size_t room = full ? sizeof spare : std::min(capacity - length, largest_transfer);
        auto n = read(fd, into, static_cast<unsigned>(room));
        if (n == -1 && errno == EINTR)
            continue;
        if (n == -1)
            return load_result::cannot_read;
        if (n == 0)
            break;
        auto got = static_cast<size_t>(n);
        if (full) {
            if (got > max_image_length - length)
                return load_result::too_large;
            size_t grown = std::min<size_t>(std::max({capacity * 2, length + got, unknown_length_chunk}), max_image_length);
            auto* larger = static_cast<unsigned char*>(std::realloc(image.bytes.get(), grown));
            if (larger == nullptr)
                return load_result::no_memory;
            (void)image.bytes.release(); // realloc has freed or kept it as larger
            image.bytes.reset(larger);
            capacity = grown;
            std::memcpy(larger + length, spare, got);
        }
        length += got;
    }
    image.length = static_cast<int32_t>(length);
    return load_result::loaded;
}

// Reads the whole file at path into image.
static load_result load_image(const char* path, loaded_image& image)
{
    struct stat st;
    int fd = open(path, image_flags);
    if (fd == -1) // where a folder cannot be opened at all, it is still a path that can't be read
        return stat(path, &st) == 0 && S_ISDIR(st.st_mode) ? load_result::cannot_read : load_result::cannot_open;

    load_result result;
    if (fstat(fd, &st) == -1 || S_ISDIR(st.st_mode)) {
        result = load_result::cannot_read;
    } else if (S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_size) > max_image_length) {
        result = load_result::too_large;
    } else {
        image.id = identify_open_file(fd);
        result = read_image(fd, S_ISREG(st.st_mode), static_cast<size_t>(st.st_size), image);
    }
    close(fd);
    return result;
}

static bool has_signature(const unsigned char* image, int32_t length)
{
    if (static_cast<uint32_t>(length) < signature_offset + sizeof disk_signature)
        return false;
    return std::memcmp(image + signature_offset, disk_signature, sizeof disk_signature) == 0;
}

// Two bytes, low byte first.
static uint16_t get_wordbe(const unsigned char* p)
{
    return static_cast<uint16_t>(p[0] + 256 * p[1]);
}

// The name field up to its first space, a dot, and the extension as stored.
// The buffer is zero-filled, so a NUL byte in either field ends the name.
static void build_name(const unsigned char* entry, char (&name)[32])
{
    std::memset(name, 0, sizeof name);
    size_t n = 0;
    while (n < name_length && entry[n] != ' ') {
        name[n] = static_cast<char>(entry[n]);
        ++n;
    }
    name[n++] = '.';
    std::memcpy(name + n, entry + extension_offset, extension_length);
}

// The name a file is written under: each byte the host cannot hold in a
// name becomes '_', and a name that would stand for the directory itself,
// its parent or a device gets '_' in front. Returns whether it differs from
// the name as built.
static bool substitute_name(const char* name, char (&file)[32])
{
    size_t n = 0;
    for (const char* c = name; *c != '\0'; ++c)
        file[n++] = host_forbids(*c) ? '_' : *c;
    file[n] = '\0';
    if (std::strcmp(file, ".") == 0 || std::strcmp(file, "..") == 0 || host_reserves(file)) {
        std::memmove(file + 1, file, n + 1);
        file[0] = '_';
    }
    return std::strcmp(file, name) != 0;
}

// Room for a name of up to 13 bytes shown with every byte escaped.
static constexpr size_t shown_name_size = 64;

enum class shown { terminal, escaped };

// A name as it can be shown without the terminal acting on it. On a
// terminal, each character that is not printable in the user's locale, or
// byte that begins no character, is one '?', as ls shows it. Escaped, each
// byte of such a character is a backslash and three octal digits and a
// backslash is doubled, so that the bytes can be told back exactly.
static const char* show_name(const char* name, shown how, char (&out)[shown_name_size])
{
    std::mbstate_t state{};
    size_t n = 0;
    for (size_t left = std::strlen(name); left > 0;) {
        wchar_t c;
        size_t length = std::mbrtowc(&c, name, left, &state);
        bool valid = length != 0 && length <= left; // not (size_t)-1 or -2
        if (!valid) {
            length = 1;
            state = {};
        }
        // Some C libraries count a tab as printable; no control is shown.
        bool printable = valid && std::iswprint(static_cast<wint_t>(c)) && !std::iswcntrl(static_cast<wint_t>(c));
        if (how == shown::terminal && !printable) {
            out[n++] = '?';
        } else if (how == shown::escaped && (!printable || *name == '\\')) {
            for (size_t i = 0; i < length; ++i) {
                auto octet = static_cast<unsigned char>(name[i]);
                n += static_cast<size_t>(octet == '\\' ? std::snprintf(out + n, sizeof out - n, "\\\\")
                                                       : std::snprintf(out + n, sizeof out - n, "\\%03o", octet));
            }
        } else {
            std::memcpy(out + n, name, length);
            n += length;
        }
        name += length;
        left -= length;
    }
    out[n] = '\0';
    return out;
}

// One line on standard error about the named file, with the name escaped.
// It follows the listing line of the entry it is about, so the listing is
// flushed first.
[[gnu::format(printf, 2, 3)]] static void report(const char* name, const char* format, ...)
{
    char shown_name[shown_name_size];
    std::fflush(stdout);
    std::fprintf(stderr, "tavikcut: %s: ", show_name(name, shown::escaped, shown_name));
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
}

// The image in memory and the file it came from, so that extraction never
// replaces it.
struct image_view {
    const unsigned char* bytes;
    uint64_t length;
    file_id id;
};

// Whether the file at name holds exactly the image's bytes. Some file
// systems (FAT and exFAT through their user-space drivers) give each spelling
// of a name its own inode number, and an image read through a pipe has no
// identity at all: the contents are what is left to recognise it by.
static bool holds_image(const char* name, const image_view& image)
{
    int fd = open(name, existing_flags);
    if (fd == -1)
        return false;
    unsigned char piece[64 * 1024];
    uint64_t compared = 0;
    bool same = true;
    for (;;) {
        auto n = read(fd, piece, static_cast<unsigned>(sizeof piece));
        if (n == -1 && errno == EINTR)
            continue;
        if (n <= 0) {
            same = n == 0 && compared == image.length;
            break;
        }
        auto got = static_cast<size_t>(n);
        if (got > image.length - compared || std::memcmp(piece, image.bytes + compared, got) != 0) {
            same = false;
            break;
        }
        compared += got;
    }
    close(fd);
    return same;
}

// Creates name, which must not exist yet, and opens it for writing. From
// here until the file is whole, an interrupt removes it.
static int open_new(const char* name)
{
    std::snprintf(output_name, sizeof output_name, "%s", name);
    output_state = output_creating;
    int fd = open(name, output_flags, output_mode);
    output_fd = fd;
    output_state = fd == -1 ? output_idle : output_writing;
    return fd;
}

// Whether id is one of the files this run wrote with the whole image as its
// data: such a copy holds the image's bytes, but it is the run's own file.
static bool made_by_this_run(const file_id& id, const std::vector<file_id>& copies)
{
    return std::any_of(copies.begin(), copies.end(), [&](const file_id& copy) { return same_file(copy, id); });
}

// Creates name as a new regular file. An existing name is never opened for
// writing: a link is not followed and another hard link keeps its contents,
// because the name is unlinked and created afresh.
static int create_output(const char* name, const image_view& image, const std::vector<file_id>& copies)
{
    int fd = open_new(name);
    if (fd != -1 || errno != EEXIST) {
        if (fd == -1)
            report(name, "can't create: %s", std::strerror(errno));
        return fd;
    }

    file_id id;
    uint64_t length = 0;
    switch (identify_name(name, id, length)) {
    case existing::unknown:
        report(name, "can't create: %s", std::strerror(errno));
        return -1;
    case existing::directory:
        report(name, "can't create: %s", std::strerror(EISDIR));
        return -1;
    case existing::file:
        break;
    }
    // Only a regular file of the image's very length is read to compare; the
    // length stays 0 for anything else, and no image is empty.
    if (same_file(id, image.id) ||
        (length == image.length && !made_by_this_run(id, copies) && holds_image(name, image))) {
        report(name, "not written: it holds the image being read");
        return -1;
    }
    if (remove_name(name) == -1 || (fd = open_new(name)) == -1)
        report(name, "can't create: %s", std::strerror(errno));
    return fd;
}

// Writes all of data to fd; a short write is retried so that the call that
// fails says why.
static bool write_all(int fd, const unsigned char* data, size_t length)
{
    while (length > 0) {
        auto n = ::write(fd, data, static_cast<unsigned>(std::min(length, largest_transfer)));
        if (n == -1 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return false;
        }
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

// Creates name holding data. On failure nothing is left under the name.
// The file is closed before anything is reported, so no output file is ever
// open while the listing or a diagnostic is written: even a run started with
// standard output or error closed cannot send them into an extracted file.
static bool extract(const char* name, const unsigned char* data, size_t length, const image_view& image,
                    std::vector<file_id>& copies)
{
    int fd = create_output(name, image, copies);
    if (fd == -1)
        return false;
    bool written = write_all(fd, data, length);
    int saved = errno;
    // Data as long as the image can only be the image itself: a copy this
    // run made, which a later entry of its name may replace.
    file_id copy = written && length == image.length ? identify_open_file(fd) : file_id{0, 0, false};
    // Written whole: an interrupt from here on leaves it, as it does the files
    // before it. Otherwise it is removed here or by the handler.
    if (written)
        output_state = output_idle;
    if (close(fd) == -1 && written) {
        written = false;
        saved = errno;
    }
    if (!written) {
        unlink(name);
        output_state = output_idle;
        report(name, "can't write: %s", std::strerror(saved));
    } else if (copy.known) {
        copies.push_back(copy);
    }
    return written;
}

// Walks the directory, listing each entry and extracting its file. Returns
// whether every file came out whole under the name its listing line gives;
// each problem has been reported. The prefix is accepted for the command
// line's sake; output names come from the directory alone.
static bool write(const unsigned char* image, int32_t length, [[maybe_unused]] const char* prefix,
                  const file_id& image_id)
{
    const image_view view{image, static_cast<uint32_t>(length), image_id};
    const bool terminal = listing_on_terminal();
    bool all_whole = true;
    char name[32];
    char file[32];
    char shown_name[shown_name_size];
    std::vector<file_id> copies;

    for (uint32_t pos = 0; directory_offset + uint64_t{pos} + entry_size <= view.length; pos += entry_size) {
        const unsigned char* entry = image + directory_offset + pos;
        if (entry[0] == 0x00)
            break;

        uint32_t sec = get_wordbe(entry + sec_offset);
        uint32_t size = get_wordbe(entry + size_offset);
        uint32_t ofs = get_wordbe(entry + ofs_offset);
        uint32_t ofs2 = get_wordbe(entry + ofs2_offset);
        build_name(entry, name);
        // Scripts read the listing from a file or pipe byte for byte; only a
        // terminal is spared the control characters a crafted name carries.
        std::printf("%s\tsec:0x%04x size:0x%04x ofs:%04x ofs2:%04x\n",
                    terminal ? show_name(name, shown::terminal, shown_name) : name, sec, size, ofs, ofs2);

        uint32_t start = sec * sector_size + ofs;
        int32_t data_length = static_cast<int32_t>((size - 1) * sector_size + ofs2);
        uint32_t wanted = data_length < 0 ? 0 : static_cast<uint32_t>(data_length);
        uint32_t available = start < view.length ? static_cast<uint32_t>(view.length - start) : 0;
        uint32_t taken = std::min(wanted, available);

        bool substituted = substitute_name(name, file);
        // The start may lie past the image; it is only used when bytes are taken.
        if (!extract(file, taken > 0 ? image + start : image, taken, view, copies)) {
            all_whole = false;
            continue;
        }
        if (substituted) {
            report(name, "written as %s", show_name(file, shown::escaped, shown_name));
            all_whole = false;
        }
        if (data_length < 0) {
            report(name, "negative data length %d: created empty", static_cast<int>(data_length));
            all_whole = false;
        } else if (taken < wanted) {
            report(name, "data runs past the end of the image: wrote %u of %u bytes", taken, wanted);
            all_whole = false;
        }
    }
    return all_whole;
}

// The listing may have failed at any point; the stream's state tells.
static bool finish_stdout()
{
    int err = std::fflush(stdout) == 0 ? 0 : errno;
    if (!std::ferror(stdout))
        return true;
    std::fprintf(stderr, "tavikcut: standard output: %s\n", err != 0 ? std::strerror(err) : "write error");
    return false;
}

int main(int argc, char** argv)
{
    set_up_host();
    // What counts as a printable character in a name, for the terminal and
    // the diagnostics.
    std::setlocale(LC_CTYPE, "");

    if (argc < 3) {
        usage();
        return -1;
    }
    const char* path = argv[1];

    loaded_image image;
    switch (load_image(path, image)) {
    case load_result::loaded:
        break;
    case load_result::cannot_open:
        std::printf("error: can't open %s\n", path);
        return -2;
    case load_result::cannot_read:
        std::printf("error: can't read %s\n", path);
        return -2;
    case load_result::too_large:
        std::printf("error: %s is too large\n", path);
        return -2;
    case load_result::no_memory:
        std::printf("error: not enough memory for %s\n", path);
        return -2;
    }

    if (!has_signature(image.bytes.get(), image.length)) {
        std::puts("illegal disk");
        return -3;
    }

    bool all_whole = write(image.bytes.get(), image.length, argv[2], image.id);
    if (!finish_stdout())
        all_whole = false;
    return all_whole ? 0 : -4;
}
