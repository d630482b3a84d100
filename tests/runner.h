// Runs the built program as a user's shell would: in a given working
// directory, with standard output and error captured, and reports what it
// printed and how it ended.
//
// Standard output goes to a file, a pipe or, on POSIX, a pseudo-terminal;
// the program behaves differently only on a terminal.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <csignal>
#include <fcntl.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace runner {

namespace fs = std::filesystem;

inline std::string read_file(const fs::path& path)
{
    std::error_code ec;
    const uintmax_t size = fs::file_size(path, ec);
    std::string content(ec ? 0 : static_cast<size_t>(size), '\0');
    std::ifstream in(path, std::ios::binary);
    in.read(content.data(), static_cast<std::streamsize>(content.size()));
    content.resize(static_cast<size_t>(in.gcount()));
    return content;
}

struct result {
    int status = -1; // exit status as the parent sees it, 128 + signal if killed
    std::string out;
    std::string err;
};

// A closed pipe is one whose reader has gone before the program writes.
enum class output { file, pipe, closed_pipe, terminal };

struct options {
    bool merge_stderr = false; // 2>&1
    output stdout_to = output::file;
    const char* locale = "C.UTF-8"; // LC_ALL on POSIX: what a printable character is
#ifdef _WIN32
    std::function<void(DWORD)> while_running; // runs once the child is started, with its process id
#else
    std::optional<std::string> stdin_pipe; // fed to the program through a pipe
    std::string stdout_path;               // a file of the caller's instead of the capture
    bool close_stdout = false;
    mode_t umask = 022;
    rlim_t file_size_limit = RLIM_INFINITY;
    std::function<void()> before_exec;       // runs in the child, in the working directory
    std::function<void(pid_t)> while_running; // runs in the parent once the child is started
#endif
};

// Each run takes a command (the program, after any emulator that runs it),
// the program's operands, its working directory and a folder for the
// captures.

#ifdef _WIN32

// One argument as the C runtime's command-line parser will split it back.
inline std::string quoted(const std::string& arg)
{
    std::string q = "\"";
    size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        q.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        q.push_back(c);
    }
    q.append(backslashes * 2, '\\');
    return q + "\"";
}

// Standard output goes to a capture file whatever opt.stdout_to says: a
// console cannot be made here, and the program treats a pipe as a file.
inline result run(const std::vector<std::string>& command, const std::vector<std::string>& args, const fs::path& cwd,
                  const fs::path& captures, const options& opt = {})
{
    const std::string& program = command.front();
    std::string line;
    for (const std::string& word : command)
        line += (line.empty() ? "" : " ") + quoted(word);
    for (const std::string& a : args)
        line += " " + quoted(a);
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    auto capture = [&](const fs::path& path) {
        return CreateFileA(path.string().c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    };
    HANDLE out = capture(captures / "stdout");
    HANDLE err = opt.merge_stderr ? out : capture(captures / "stderr");
    HANDLE in = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ, &inherit, OPEN_EXISTING, 0, nullptr);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in;
    startup.hStdOutput = out;
    startup.hStdError = err;
    PROCESS_INFORMATION process{};
    // A group of its own, so that a Ctrl-Break sent to it reaches it alone.
    BOOL started = CreateProcessA(program.c_str(), line.data(), nullptr, nullptr, TRUE, CREATE_NEW_PROCESS_GROUP,
                                  nullptr, cwd.string().c_str(), &startup, &process);
    CloseHandle(in);
    CloseHandle(out);
    if (err != out)
        CloseHandle(err);
    result r;
    if (!started) {
        ADD_FAILURE() << "cannot start " << program;
        return r;
    }
    if (opt.while_running)
        opt.while_running(process.dwProcessId);
    if (WaitForSingleObject(process.hProcess, 60000) != WAIT_OBJECT_0)
        TerminateProcess(process.hProcess, 128 + 14); // as if killed by an alarm
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    r.status = static_cast<int>(code & 0xFF); // what a POSIX parent reads
    r.out = read_file(captures / "stdout");
    r.err = read_file(captures / "stderr");
    return r;
}

#else

// Everything from fd until its writers are gone: end of file on a pipe, EIO
// on a terminal's master side.
inline std::string drain(int fd)
{
    std::string got;
    char buffer[4096];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n == -1 && errno == EINTR)
            continue;
        if (n <= 0)
            return got;
        got.append(buffer, static_cast<size_t>(n));
    }
}

inline result run(const std::vector<std::string>& command, const std::vector<std::string>& args, const fs::path& cwd,
                  const fs::path& captures, const options& opt = {})
{
    int feed[2] = {-1, -1};
    if (opt.stdin_pipe && pipe(feed) != 0)
        ADD_FAILURE() << "pipe";
    // The parent's end of a pipe or terminal for standard output, and the child's.
    int reader = -1, writer = -1;
    if (opt.stdout_to == output::pipe || opt.stdout_to == output::closed_pipe) {
        int ends[2];
        if (pipe(ends) != 0)
            ADD_FAILURE() << "pipe";
        reader = ends[0];
        writer = ends[1];
        if (opt.stdout_to == output::closed_pipe) {
            close(reader);
            reader = -1;
        }
    } else if (opt.stdout_to == output::terminal) {
        // Raw, so that the bytes arrive as written, without \r before \n.
        termios raw{};
        cfmakeraw(&raw);
        if (openpty(&reader, &writer, nullptr, &raw, nullptr) != 0)
            ADD_FAILURE() << "openpty";
    }
    const std::string out_path = opt.stdout_path.empty() ? (captures / "stdout").string() : opt.stdout_path;
    const std::string err_path = (captures / "stderr").string();

    pid_t pid = fork();
    if (pid == 0) {
        std::vector<char*> argv;
        for (const std::string& word : command)
            argv.push_back(const_cast<char*>(word.c_str()));
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        if (chdir(cwd.c_str()) != 0)
            _exit(126);
        umask(opt.umask);
        rlimit limit{opt.file_size_limit, opt.file_size_limit};
        setrlimit(RLIMIT_FSIZE, &limit);
        setenv("LC_ALL", opt.locale, 1);
        int in = opt.stdin_pipe ? feed[0] : open("/dev/null", O_RDONLY);
        int out = writer != -1 ? writer : open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(in, STDIN_FILENO);
        dup2(out, STDOUT_FILENO);
        dup2(opt.merge_stderr ? out : err, STDERR_FILENO);
        for (int fd : {in, out, err, feed[1], reader})
            if (fd > STDERR_FILENO)
                close(fd);
        if (opt.close_stdout)
            close(STDOUT_FILENO);
        std::signal(SIGPIPE, SIG_DFL);
        alarm(60); // a program that blocks, on a FIFO say, is killed and fails its test
        if (opt.before_exec)
            opt.before_exec();
        execv(argv[0], argv.data());
        _exit(127);
    }
    if (writer != -1)
        close(writer);
    if (opt.stdin_pipe) {
        close(feed[0]);
        const std::string& data = *opt.stdin_pipe;
        for (size_t done = 0; done < data.size();) {
            ssize_t n = ::write(feed[1], data.data() + done, data.size() - done);
            if (n <= 0)
                break;
            done += static_cast<size_t>(n);
        }
        close(feed[1]);
    }
    if (opt.while_running)
        opt.while_running(pid);
    result r;
    if (reader != -1) {
        r.out = drain(reader);
        close(reader);
    }
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    if (opt.stdout_to == output::file && opt.stdout_path.empty())
        r.out = read_file(captures / "stdout");
    r.err = read_file(captures / "stderr");
    return r;
}

#endif

} // namespace runner
