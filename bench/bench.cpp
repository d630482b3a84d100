// Benchmark: tavikcut against GNU tar and against the floor (one read, then
// unlink, open, write and close per file), on a disk of 1500 files of mixed
// sizes and on the same files in a tar archive, all built here.
//
//   bench [runs] [folder]
//
// Runs are taken round by round in alternating order; medians of time and
// page faults are printed with the ratios against the targets, then a
// scaling row of entries per second. Run as root, the page cache is also
// dropped before each run of the cold-cache rows.
#include "../tests/image_builder.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <fcntl.h>
#include <linux/perf_event.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr size_t file_count = 1500;
constexpr size_t largest_file = 60 * 1024;
constexpr size_t mib = 1024 * 1024;

struct sample {
    double seconds;
    long peak_kib;
    long long page_faults; // -1 where they cannot be counted
};

// Empties the page cache, so that the next run reads its input from the disk.
// Only root may, and only where /proc/sys is writable.
bool drop_caches()
{
    sync();
    std::FILE* f = std::fopen("/proc/sys/vm/drop_caches", "w");
    if (f == nullptr)
        return false;
    bool dropped = std::fputs("3", f) >= 0;
    return std::fclose(f) == 0 && dropped;
}

// A counter of the page faults a process takes on access, as perf counts
// them; the pages a kernel fills in ahead of use (MADV_POPULATE_WRITE) are
// not among them. It starts counting when the process calls exec. -1 where
// perf events are not allowed.
int page_fault_counter(pid_t pid)
{
    perf_event_attr attr{};
    attr.type = PERF_TYPE_SOFTWARE;
    attr.size = sizeof attr;
    attr.config = PERF_COUNT_SW_PAGE_FAULTS;
    attr.disabled = 1;
    attr.enable_on_exec = 1;
    return static_cast<int>(syscall(SYS_perf_event_open, &attr, pid, -1, -1, 0));
}

// Runs argv with cwd as its working directory and standard output into
// out_path, after a sync so that earlier runs' writeback does not count.
sample timed_run(const std::vector<std::string>& args, const fs::path& cwd, const fs::path& out_path, bool cold = false)
{
    if (cold && !drop_caches()) {
        std::fprintf(stderr, "bench: cannot drop the page cache\n");
        std::exit(1);
    }
    sync();
    // The child waits for its counter before it calls exec.
    int go[2];
    if (pipe(go) != 0)
        std::exit(1);
    auto started = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        std::vector<char*> argv;
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (chdir(cwd.c_str()) != 0 || out == -1 || dup2(out, STDOUT_FILENO) == -1)
            _exit(126);
        char byte;
        close(go[1]);
        if (read(go[0], &byte, 1) != 1)
            _exit(126);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int counter = page_fault_counter(pid);
    close(go[0]);
    if (write(go[1], "x", 1) != 1)
        std::exit(1);
    close(go[1]);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "bench: %s failed with status %d\n", args[0].c_str(), status);
        std::exit(1);
    }
    long long faults = -1;
    if (counter != -1 && read(counter, &faults, sizeof faults) != sizeof faults)
        faults = -1;
    if (counter != -1)
        close(counter);
    return {took.count(), usage.ru_maxrss, faults};
}

void fresh_folder(const fs::path& dir)
{
    fs::remove_all(dir);
    fs::create_directories(dir);
}

std::string read_file(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Deterministic mixed sizes: many small files, some up to 60 KiB, about
// 20 MiB in all, with an empty one and a largest one among them.
std::vector<disk::file> make_files()
{
    std::vector<disk::file> files;
    uint64_t state = 0x9E3779B97F4A7C15u;
    for (size_t i = 0; i < file_count; ++i) {
        state = state * 6364136223846793005u + 1442695040888963407u;
        double u = static_cast<double>(state >> 11) / static_cast<double>(uint64_t{1} << 53);
        size_t size = i == 0 ? 0 : i == 1 ? largest_file : static_cast<size_t>(largest_file * std::pow(u, 3.3));
        char name[16];
        std::snprintf(name, sizeof name, "F%05zu.DAT", i);
        std::string content(size, '\0');
        for (size_t b = 0; b < size; ++b)
            content[b] = static_cast<char>((b * 131 + i * 7) >> 3);
        files.push_back({name, std::move(content)});
    }
    return files;
}

// Writes the files, the image of them and the tar archive of them into root.
// This runs in a child process, so that the benchmark itself stays small: a
// forked child starts out as large as its parent, and that would show in
// every peak memory figure.
void make_data(const fs::path& root)
{
    std::vector<disk::file> files = make_files();
    fresh_folder(root / "files");
    std::ofstream names(root / "names.txt");
    for (const disk::file& f : files) {
        std::ofstream(root / "files" / f.name, std::ios::binary) << f.content;
        names << f.name << '\n';
    }
    names.close();
    disk::pack(files).save((root / "disk.img").string());
    std::string tar_command = "tar -cf '" + (root / "files.tar").string() + "' -C '" + (root / "files").string() +
                              "' -T '" + (root / "names.txt").string() + "'";
    if (std::system(tar_command.c_str()) != 0)
        std::exit(1);
}

// The same names in both folders, with the same contents. Files are compared
// one pair at a time, so that the benchmark's own memory stays small.
bool same_files(const fs::path& dir, const fs::path& expected)
{
    size_t in_dir = 0, in_expected = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir))
        ++in_dir;
    for (const auto& e : fs::directory_iterator(expected)) {
        ++in_expected;
        if (read_file(dir / e.path().filename()) != read_file(e.path()) || !fs::is_regular_file(dir / e.path().filename()))
            return false;
    }
    return in_expected > 0 && in_dir == in_expected;
}

uintmax_t folder_bytes(const fs::path& dir)
{
    uintmax_t total = 0;
    for (const auto& e : fs::directory_iterator(dir))
        total += e.file_size();
    return total;
}

} // namespace

int main(int argc, char** argv)
{
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 11;
    fs::path root;
    if (argc > 2) {
        root = argv[2];
        fs::create_directories(root);
    } else {
        std::string pattern = (fs::temp_directory_path() / "tavikcut-bench-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr)
            return 1;
        root = pattern;
    }
    const std::string tavikcut = fs::absolute(TAVIKCUT_BIN).string();
    const std::string floor_bin = fs::absolute(FLOOR_BIN).string();

    // The data: the files themselves, the image and the archive.
    pid_t maker = fork();
    if (maker == 0) {
        make_data(root);
        std::exit(0);
    }
    int made = 0;
    if (waitpid(maker, &made, 0) != maker || made != 0)
        return 1;
    const fs::path image = root / "disk.img";
    const fs::path archive = root / "files.tar";
    const uintmax_t image_size = fs::file_size(image);
    std::printf("data: %zu files, %.1f MiB of file data, image %.1f MiB, archive %.1f MiB; %d runs each\n",
                file_count, static_cast<double>(folder_bytes(root / "files")) / mib,
                static_cast<double>(image_size) / mib, static_cast<double>(fs::file_size(archive)) / mib, runs);

    struct contender {
        std::string label;
        std::vector<std::string> args;
        bool over_existing;
        bool cold;
        std::vector<double> times;
        std::vector<double> faults;
        long peak_kib = 0;
    };
    std::vector<contender> all{
        {"tavikcut, empty folder", {tavikcut, image.string(), "x"}, false, false, {}, {}},
        {"floor, empty folder", {floor_bin, image.string()}, false, false, {}, {}},
        {"GNU tar -xf, empty folder", {"tar", "-xf", archive.string()}, false, false, {}, {}},
        {"tavikcut, over existing files", {tavikcut, image.string(), "x"}, true, false, {}, {}},
        {"floor, over existing files", {floor_bin, image.string()}, true, false, {}, {}},
    };
    const bool can_drop = geteuid() == 0 && drop_caches();
    if (can_drop) {
        all.push_back({"tavikcut, cold cache", {tavikcut, image.string(), "x"}, false, true, {}, {}});
        all.push_back({"floor, cold cache", {floor_bin, image.string()}, false, true, {}, {}});
        all.push_back({"GNU tar -xf, cold cache", {"tar", "-xf", archive.string()}, false, true, {}, {}});
    }
    const fs::path out = root / "stdout.txt";

    // Warm-up, and a check that tavikcut's files are the expected ones.
    for (contender& c : all) {
        fs::path dir = root / ("run-" + std::to_string(&c - all.data()));
        fresh_folder(dir);
        timed_run(c.args, dir, out);
        if (&c == &all[0] && !same_files(dir, root / "files")) {
            std::fprintf(stderr, "bench: tavikcut's files differ from the expected ones\n");
            return 1;
        }
    }

    for (int run = 0; run < runs; ++run) {
        // Each round runs everything once; odd rounds in reverse order.
        for (size_t k = 0; k < all.size(); ++k) {
            contender& c = all[run % 2 ? all.size() - 1 - k : k];
            fs::path dir = root / ("run-" + std::to_string(&c - all.data()));
            if (!c.over_existing)
                fresh_folder(dir);
            sample s = timed_run(c.args, dir, out, c.cold);
            c.times.push_back(s.seconds);
            c.faults.push_back(static_cast<double>(s.page_faults));
            c.peak_kib = std::max(c.peak_kib, s.peak_kib);
        }
    }

    std::printf("\n%-32s %12s %12s %12s\n", "", "median (ms)", "page faults", "peak (MiB)");
    for (const contender& c : all) {
        double faults = median(c.faults);
        std::printf("%-32s %12.1f %12s %12.1f\n", c.label.c_str(), median(c.times) * 1e3,
                    faults < 0 ? "n/a" : std::to_string(std::lround(faults)).c_str(),
                    static_cast<double>(c.peak_kib) / 1024);
    }
    if (!can_drop)
        std::printf("cold cache: skipped, the page cache can only be dropped by root with /proc/sys writable\n");

    struct pair_row {
        const char* label;
        size_t a, b;
        double target;
    };
    bool met = true;
    std::printf("\n%-40s %10s %10s %8s\n", "ratio", "of medians", "median", "target");
    std::vector<pair_row> pairs{pair_row{"tavikcut / floor, empty folder", 0, 1, 1.00},
                                pair_row{"tavikcut / floor, over existing files", 3, 4, 1.05},
                                pair_row{"tavikcut / GNU tar, empty folder", 0, 2, 0.97}};
    if (can_drop) { // shown, without a target
        pairs.push_back({"tavikcut / floor, cold cache", 5, 6, 0});
        pairs.push_back({"tavikcut / GNU tar, cold cache", 5, 7, 0});
    }
    for (const pair_row& p : pairs) {
        std::vector<double> per_round;
        for (int r = 0; r < runs; ++r)
            per_round.push_back(all[p.a].times[static_cast<size_t>(r)] / all[p.b].times[static_cast<size_t>(r)]);
        double ratio = median(all[p.a].times) / median(all[p.b].times);
        if (p.target == 0) {
            std::printf("%-40s %10.3f %10.3f %8s\n", p.label, ratio, median(per_round), "-");
            continue;
        }
        met = met && ratio <= p.target;
        std::printf("%-40s %10.3f %10.3f %8.2f %s\n", p.label, ratio, median(per_round), p.target,
                    ratio <= p.target ? "met" : "MISSED");
    }
    double peak_mib = static_cast<double>(std::max(all[0].peak_kib, all[3].peak_kib)) / 1024;
    double memory_target = static_cast<double>(image_size) / mib + 8;
    met = met && peak_mib <= memory_target;
    std::printf("%-40s %10.1f MiB, target %.1f MiB %s\n", "tavikcut peak memory", peak_mib, memory_target,
                peak_mib <= memory_target ? "met" : "MISSED");

    // Scaling: the same small file many times over, by number of entries.
    std::printf("\n%-10s %14s %16s\n", "entries", "median (ms)", "entries per s");
    for (size_t entries : {size_t{3000}, size_t{10000}, size_t{30000}}) {
        std::vector<disk::file> small;
        for (size_t i = 0; i < entries; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "S%07zu.DAT", i);
            small.push_back({name, std::string(16, static_cast<char>('a' + i % 26))});
        }
        fs::path scaled = root / "scaled.img";
        disk::pack(small).save(scaled.string());
        std::vector<double> times;
        for (int run = 0; run < std::max(3, runs / 2); ++run) {
            fresh_folder(root / "scaled");
            times.push_back(timed_run({tavikcut, scaled.string(), "x"}, root / "scaled", out).seconds);
        }
        double m = median(times);
        std::printf("%-10zu %14.1f %16.0f\n", entries, m * 1e3, static_cast<double>(entries) / m);
    }

    if (argc <= 2)
        fs::remove_all(root);
    std::printf("\n%s\n", met ? "all targets met" : "some targets missed");
    return met ? 0 : 1;
}
