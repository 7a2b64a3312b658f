// Runs a built program in a fresh temporary directory and captures what it did.
//
// A run as user nobody (when the tests run as root) uses a copy of the program in a
// folder nobody can enter, so it works from a clone in a private folder too.
//
// When the environment variable SUITE_TEST_WRAPPER is set (for example to a
// valgrind command line), the program runs under it; a wrapper that reports
// errors through its exit status fails the test with the wrapper's log.
#include "harness.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace harness {
namespace {

constexpr uid_t kNobody = 65534;
constexpr int kWrapperErrorStatus = 97;  // the status the memcheck wrapper exits with

fs::path make_temp_dir(const char* what, const fs::path& base = fs::temp_directory_path()) {
    std::string pattern = (base / (std::string("suite-") + what + "-XXXXXX")).string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed in " + base.string());
    return pattern;
}

// Whether user nobody can enter `dir`: a child becomes nobody and tries. Returns what
// went wrong, or an empty text.
std::string nobody_cannot_enter(const fs::path& dir) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0)
        return std::string("fork: ") + std::strerror(errno);
    if (pid == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0)
            _exit(2);
        _exit(access(dir.c_str(), X_OK) == 0 ? 0 : 3);
    }
    int raw = 0;
    while (waitpid(pid, &raw, 0) < 0)
        if (errno != EINTR)
            return std::string("waitpid: ") + std::strerror(errno);
    if (WIFEXITED(raw) && WEXITSTATUS(raw) == 0)
        return "";
    if (WIFEXITED(raw) && WEXITSTATUS(raw) == 2)
        return "this system does not let root become user nobody (uid 65534)";
    return "user nobody cannot enter " + dir.string();
}

// A run as user nobody happens wholly inside a folder nobody can enter: the temporary
// folder, or /tmp when that is private. The build tree may not be reachable (a clone in
// root's home, say), so the program runs from a copy there. `problem` says why no such
// folder exists.
struct NobodyBase {
    fs::path path;
    std::string problem;
};

const NobodyBase& nobody_base() {
    static const NobodyBase base = [] {
        NobodyBase found;
        for (const fs::path& candidate : {fs::temp_directory_path(), fs::path("/tmp")}) {
            found.problem = nobody_cannot_enter(candidate);
            if (found.problem.empty()) {
                found.path = candidate;
                break;
            }
        }
        return found;
    }();
    return base;
}

// A copy of a built program in a folder of its own under `base`, which every user may
// enter and run.
fs::path copy_for_everyone(const fs::path& program, const fs::path& base) {
    const fs::path dir = make_temp_dir("program", base);
    fs::permissions(dir, fs::perms(0755));
    const fs::path copy = dir / program.filename();
    fs::copy_file(program, copy);
    fs::permissions(copy, fs::perms(0755));
    return copy;
}

std::vector<std::string> split_words(const char* text) {
    std::vector<std::string> words;
    std::istringstream in(text ? text : "");
    for (std::string word; in >> word;)
        words.push_back(word);
    return words;
}

// Everything the child needs, prepared before fork so the child only makes system calls.
struct Command {
    std::vector<std::string> words;
    std::vector<char*> argv;
};

Command build_command(const Run& r, const fs::path& program, const fs::path& capture) {
    Command c;
    // A wrapper such as valgrind would take a closed descriptor for its own files
    // before the program starts, die of the closed pipe itself, or need more memory than
    // the program may take, so such a run goes without it.
    if (r.closed.empty() && !r.stdout_to_closed_pipe && r.memory == 0)
        c.words = split_words(std::getenv("SUITE_TEST_WRAPPER"));
    if (!c.words.empty())
        c.words.push_back("--log-file=" + (capture / "wrapper.log").string());
    c.words.push_back(program.string());
    c.words.insert(c.words.end(), r.args.begin(), r.args.end());
    for (auto& w : c.words)
        c.argv.push_back(w.data());
    c.argv.push_back(nullptr);
    return c;
}

// `pipe_end`: the writing end of a pipe for standard output, or -1.
[[noreturn]] void exec_child(const Command& c, const Run& r, const fs::path& dir, const std::string& in,
                             const std::string& out, const std::string& err, int pipe_end) {
    const int in_fd = open(in.c_str(), O_RDONLY);
    const int out_fd = pipe_end >= 0 ? pipe_end : open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err_fd = r.stderr_to_stdout ? out_fd : open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in_fd < 0 || out_fd < 0 || err_fd < 0 || dup2(in_fd, 0) < 0 || dup2(out_fd, 1) < 0 ||
        dup2(err_fd, 2) < 0 || chdir(dir.c_str()) != 0)
        _exit(126);
    if (r.unprivileged && geteuid() == 0 &&
        (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0))
        _exit(126);
    for (const int fd : {in_fd, out_fd, err_fd})
        if (fd > 2)
            close(fd);
    for (const int fd : r.closed)
        close(fd);
    rlimit descriptors{};
    if (r.descriptors > 0 && (getrlimit(RLIMIT_NOFILE, &descriptors) != 0 ||
                              (descriptors.rlim_cur = static_cast<rlim_t>(r.descriptors),
                               setrlimit(RLIMIT_NOFILE, &descriptors) != 0)))
        _exit(126);
    const rlimit memory{r.memory, r.memory};
    if (r.memory > 0 && setrlimit(RLIMIT_AS, &memory) != 0)
        _exit(126);
    // Under the sanitizers a program run end to end skips the leak check at its exit,
    // which takes each run about 80 ms: make memcheck checks the same runs for leaks,
    // and the test's own process, which calls the libraries, keeps the check.
    if (const char* options = std::getenv("ASAN_OPTIONS"))
        setenv("ASAN_OPTIONS", (std::string(options) + ":detect_leaks=0").c_str(), 1);
    execvp(c.argv[0], c.argv.data());
    _exit(127);
}

int wait_for(pid_t pid) {
    int raw = 0;
    while (waitpid(pid, &raw, 0) < 0)
        if (errno != EINTR)
            throw std::runtime_error("waitpid failed");
    if (WIFSIGNALED(raw))
        return 128 + WTERMSIG(raw);
    return WEXITSTATUS(raw);
}

std::map<std::string, std::string> snapshot(const fs::path& dir) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::directory_iterator(dir))
        if (!entry.is_symlink() && entry.is_regular_file())   // a looping link would throw
            files[entry.path().filename().string()] = read_file(entry.path());
    return files;
}

// Lets user nobody reach the directory again (a test may have locked it) and removes it.
void remove_dir(const fs::path& dir) {
    std::error_code ignored;
    fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(dir, ignored);
}

}  // namespace

std::string attribute(const fs::path& file, const char* name) {
    std::string value(4096, '\0');
    const ssize_t size = getxattr(file.c_str(), name, value.data(), value.size());
    value.resize(size < 0 ? 0 : static_cast<std::size_t>(size));
    return value;
}

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

void write_file(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path.string());
}

TempDir::TempDir() : path_(make_temp_dir("test")) {}

TempDir::~TempDir() {
    remove_dir(path_);
}

void make_unreadable(const fs::path& file) {
    fs::permissions(file, fs::perms::none);
}

void replace_by_folder(const fs::path& path) {
    fs::remove(path);
    fs::create_directory(path);
}

void replace_by_link_to_dev_full(const fs::path& path) {
    fs::remove(path);
    fs::create_symlink("/dev/full", path);
}

void make_read_only(const fs::path& dir) {
    fs::permissions(dir, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
}

fs::path program_path(const std::string& program) {
    return fs::path(SUITE_BIN_DIR) / program;
}

bool running_as_root() {
    return geteuid() == 0;
}

std::string allow_descriptor(int fd) {
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) != 0)
        return std::string("getrlimit: ") + std::strerror(errno);
    const auto needed = static_cast<rlim_t>(fd) + 1;
    if (files.rlim_cur != RLIM_INFINITY && files.rlim_cur < needed) {
        if (files.rlim_max != RLIM_INFINITY && files.rlim_max < needed)
            return "descriptor " + std::to_string(fd) + " lies beyond the hard limit of " +
                   std::to_string(files.rlim_max) + " open files (ulimit -Hn)";
        files.rlim_cur = needed;
        if (setrlimit(RLIMIT_NOFILE, &files) != 0)
            return std::string("setrlimit: ") + std::strerror(errno);
    }
    return "";
}

Result run(const Run& r) {
    const bool as_nobody = r.unprivileged && running_as_root();
    fs::path base = fs::temp_directory_path();
    fs::path program = program_path(r.program);
    if (as_nobody) {
        const NobodyBase& nobody = nobody_base();
        if (!nobody.problem.empty()) {
            ADD_FAILURE() << "cannot run " << r.program << " as user nobody: " << nobody.problem
                          << ". Run the tests as a user other than root, or make /tmp or TMPDIR "
                             "a folder every user can enter.";
            return {};
        }
        base = nobody.path;
        program = copy_for_everyone(program, base);
    }
    const fs::path dir = make_temp_dir("run", base);
    const fs::path capture = make_temp_dir("capture", base);
    for (const auto& [name, bytes] : r.files)
        write_file(dir / name, bytes);
    if (r.unprivileged) {
        // nobody must reach the directory, and write the captures, to run at all.
        fs::permissions(dir, fs::perms::all, fs::perm_options::replace);
        fs::permissions(capture, fs::perms::all, fs::perm_options::replace);
    }
    if (r.setup)
        r.setup(dir);

    const Command command = build_command(r, program, capture);
    const std::string in = r.stdin_file.empty() ? "/dev/null" : (dir / r.stdin_file).string();
    const std::string out = r.stdout_path.empty() ? (capture / "stdout").string() : r.stdout_path;
    const std::string err = (capture / "stderr").string();
    int pipe_ends[2] = {-1, -1};
    if (r.stdout_to_closed_pipe) {
        if (pipe(pipe_ends) != 0)
            throw std::runtime_error("pipe failed");
        close(pipe_ends[0]);   // nobody reads: the program's first write breaks the pipe
    }
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0)
        exec_child(command, r, dir, in, out, err, pipe_ends[1]);
    if (pipe_ends[1] >= 0)
        close(pipe_ends[1]);

    Result result;
    result.status = wait_for(pid);
    if (r.stdout_path.empty() && !r.stdout_to_closed_pipe)
        result.out = read_file(out);
    if (!r.stderr_to_stdout)
        result.err = read_file(err);
    fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add);
    result.files = snapshot(dir);
    if (result.status == kWrapperErrorStatus)
        ADD_FAILURE() << "the wrapper reported errors:\n" << read_file(capture / "wrapper.log");
    remove_dir(dir);
    remove_dir(capture);
    if (as_nobody)
        fs::remove_all(program.parent_path());
    return result;
}

Result run(const std::string& program, const std::map<std::string, std::string>& files,
           const std::vector<std::string>& args) {
    Run r;
    r.program = program;
    r.files = files;
    r.args = args;
    return run(r);
}

std::string hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char byte : bytes) {
        if (!text.empty())
            text += ' ';
        text += digits[byte >> 4];
        text += digits[byte & 0xf];
    }
    return text;
}

std::string payrise_record(char kind, double salary, char grade) {
    const bool kind_i = kind == 'I' || kind == 'i';
    const auto bits = std::bit_cast<std::uint64_t>(salary);
    std::string record(56, '\0');
    record[0] = kind;
    for (int k = 0; k < 8; ++k)
        record[(kind_i ? 48 : 24) + k] = static_cast<char>(bits >> (8 * k));
    if (!kind_i)
        record[32] = grade;
    return record;
}

void expect_prints(const std::string& program, const std::vector<PrintCase>& cases) {
    for (const PrintCase& c : cases) {
        SCOPED_TRACE(c.what);
        Run run;
        run.program = program;
        run.files = c.files;
        run.args = c.args;
        run.stdin_file = c.stdin_file;
        run.closed = c.closed;
        const Result r = harness::run(run);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.files, c.files) << "a printer writes no file";
        if (c.status != 0 && !c.out.empty() && !c.err.empty()) {
            run.stderr_to_stdout = true;
            EXPECT_EQ(harness::run(run).out, c.out + c.err) << "both streams in one file";
        }
    }
}

}  // namespace harness
