#include "book/base/child_process.h"

#include "book/base/file_read.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace folio {

namespace {

bool writeAll(int fd, std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes = bytes.subspan(static_cast<std::size_t>(n));
    }
    return true;
}

// Only async-signal-safe calls between fork and exec: other threads may hold any lock.
[[noreturn]] void becomeChild(const char* path, char* const* argv, int in, int out, int null,
                              const ChildLimits& limits) {
    if (::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(null, 2) < 0) ::_exit(127);
    const auto cpu = static_cast<rlim_t>(limits.time.count() / 1000 + 1);
    const rlimit memory{limits.memory, limits.memory}, seconds{cpu, cpu}, none{0, 0};
    ::setrlimit(RLIMIT_AS, &memory);
    ::setrlimit(RLIMIT_CPU, &seconds);
    ::setrlimit(RLIMIT_CORE, &none);
    ::setrlimit(RLIMIT_FSIZE, &none);
    ::execv(path, argv);
    ::_exit(127);
}

// Its status once it ends; killed when it is still there at the deadline (a child that closes
// its stdout early must not hold us).
int reap(pid_t pid, std::chrono::steady_clock::time_point deadline, bool& late) {
    int status = 0;
    for (;;) {
        const pid_t got = ::waitpid(pid, &status, WNOHANG);
        if (got == pid) return status;
        if (got < 0 && errno != EINTR) return status;
        if (std::chrono::steady_clock::now() >= deadline) break;
        ::usleep(1000);
    }
    late = true;
    ::kill(pid, SIGKILL);
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

} // namespace

std::string findProgram(const std::string& name) {
    const char* env = std::getenv("PATH");
    const std::string path = env && *env ? env : "/usr/bin:/bin";
    for (std::size_t start = 0; start <= path.size();) {
        std::size_t end = path.find(':', start);
        if (end == std::string::npos) end = path.size();
        const std::string dir = path.substr(start, end - start);
        start = end + 1;
        if (dir.empty() || dir[0] != '/') continue; // never the current folder
        const std::string candidate = dir + "/" + name;
        struct stat st {};
        if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            ::access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return {};
}

ChildResult runChild(const std::string& program, const std::vector<std::string>& args,
                     std::span<const std::uint8_t> input, const ChildLimits& limits) {
    ChildResult result;
    if (program.empty()) {
        result.outcome = ChildOutcome::NotInstalled;
        return result;
    }
    // A memory file rather than a pipe: the tool may seek in its input.
    FileDescriptor in(::memfd_create("folio-input", MFD_CLOEXEC));
    FileDescriptor null(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    int pipeFds[2];
    if (!in.valid() || !null.valid() || !writeAll(in.get(), input) ||
        ::lseek(in.get(), 0, SEEK_SET) != 0 || ::pipe2(pipeFds, O_CLOEXEC) != 0)
        return result;
    FileDescriptor readEnd(pipeFds[0]), writeEnd(pipeFds[1]);

    std::vector<std::string> owned{program};
    owned.insert(owned.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : owned)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    const pid_t pid = ::fork();
    if (pid < 0) return result;
    if (pid == 0)
        becomeChild(program.c_str(), argv.data(), in.get(), writeEnd.get(), null.get(), limits);
    writeEnd = FileDescriptor();

    const auto deadline = std::chrono::steady_clock::now() + limits.time;
    ChildOutcome stopped = ChildOutcome::Finished;
    char buffer[65536];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            stopped = ChildOutcome::TimedOut;
            break;
        }
        pollfd p{readEnd.get(), POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) continue; // the deadline is checked above
        const ssize_t n = ::read(readEnd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break; // the child closed its stdout: it is ending
        if (result.output.size() + static_cast<std::size_t>(n) > limits.maxOutput) {
            stopped = ChildOutcome::OutputTooLarge;
            break;
        }
        result.output.append(buffer, static_cast<std::size_t>(n));
    }
    if (stopped != ChildOutcome::Finished) ::kill(pid, SIGKILL);
    bool late = false;
    const int status = reap(pid, deadline, late);
    if (late) stopped = ChildOutcome::TimedOut;
    if (stopped != ChildOutcome::Finished)
        result.outcome = stopped;
    else if (WIFSIGNALED(status))
        result.outcome = ChildOutcome::Killed;
    else if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        result.outcome = ChildOutcome::Finished;
    else
        result.outcome = ChildOutcome::Failed;
    if (result.outcome != ChildOutcome::Finished) result.output.clear();
    return result;
}

std::string childFailure(const std::string& name, ChildOutcome outcome) {
    switch (outcome) {
    case ChildOutcome::Finished:
        return {};
    case ChildOutcome::Failed:
        return name + " refused it";
    case ChildOutcome::Killed:
        return name + " crashed or passed its memory limit on it";
    case ChildOutcome::TimedOut:
        return name + " took too long";
    case ChildOutcome::OutputTooLarge:
        return name + " made too much of it";
    case ChildOutcome::NotInstalled:
        return name + " is not installed";
    case ChildOutcome::CannotStart:
        break;
    }
    return name + " cannot be started";
}

} // namespace folio
