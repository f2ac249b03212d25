#include "Spawn.h"

#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

extern char** environ;

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;

int msLeft(Clock::time_point deadline)
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? int(left.count()) : 0;
}

int shellStatus(int status)
{
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// This environment with `additions` in place of variables of the same names.
std::vector<QByteArray> environment(const QStringList& additions)
{
    std::vector<QByteArray> env;
    for (char** entry = environ; *entry; ++entry) {
        const QByteArray text(*entry);
        const QByteArray name = text.left(text.indexOf('=') + 1);
        bool replaced = false;
        for (const QString& addition : additions)
            replaced = replaced || addition.toLocal8Bit().startsWith(name);
        if (!replaced)
            env.push_back(text);
    }
    for (const QString& addition : additions)
        env.push_back(addition.toLocal8Bit());
    return env;
}

std::vector<char*> pointers(std::vector<QByteArray>& strings)
{
    std::vector<char*> result;
    for (QByteArray& s : strings)
        result.push_back(s.data());
    result.push_back(nullptr);
    return result;
}

} // namespace

Process::~Process()
{
    kill();
    if (pid_ > 0 && status_ == kRunning) {
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }
    closeOutput();
}

bool Process::start(const QString& program, const QStringList& args, const Options& options)
{
    kill();
    waitFor(3000);
    closeOutput();
    buffer_.clear();
    pid_ = -1;
    status_ = kRunning;

    std::vector<QByteArray> argStrings{program.toLocal8Bit()};
    for (const QString& arg : args)
        argStrings.push_back(arg.toLocal8Bit());
    std::vector<QByteArray> envStrings = environment(options.env);
    std::vector<char*> argv = pointers(argStrings);
    std::vector<char*> envp = pointers(envStrings);

    int out[2] = {-1, -1};
    if (options.readOutput && ::pipe2(out, O_CLOEXEC) != 0)
        return false;

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (options.readOutput)
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    else
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    if (!options.showErrors)
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);

    // The child starts with no signal blocked and SIGPIPE at its default,
    // whatever this process's threads have done with theirs.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, pipe;
    sigemptyset(&none);
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &pipe);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    pid_t pid = -1;
    const int error =
        ::posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), envp.data());
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (options.readOutput) {
        ::close(out[1]);
        output_ = out[0];
    }
    if (error != 0) {
        closeOutput();
        return false;
    }
    pid_ = pid;
    return true;
}

bool Process::running()
{
    return waitFor(0) == kRunning;
}

void Process::terminate()
{
    if (pid_ > 0 && status_ == kRunning)
        ::kill(pid_, SIGTERM);
}

void Process::kill()
{
    if (pid_ > 0 && status_ == kRunning)
        ::kill(pid_, SIGKILL);
}

int Process::waitFor(int ms)
{
    if (pid_ <= 0 || status_ != kRunning)
        return status_;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_)
            return status_ = shellStatus(status);
        if (done < 0 && errno != EINTR)
            return status_ = 255; // reaped by someone else: gone, status unknown
        if (Clock::now() >= deadline)
            return kRunning;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

bool Process::fill(int ms)
{
    if (output_ < 0)
        return false;
    pollfd ready{output_, POLLIN, 0};
    const int n = ::poll(&ready, 1, ms);
    if (n < 0)
        return errno == EINTR;
    if (n == 0)
        return false;
    char chunk[65536];
    const ssize_t got = ::read(output_, chunk, sizeof chunk);
    if (got < 0)
        return errno == EINTR;
    if (got == 0) {
        closeOutput();
        return false;
    }
    buffer_.append(chunk, qsizetype(got));
    return true;
}

QByteArray Process::readLine(int ms)
{
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        const qsizetype end = buffer_.indexOf('\n');
        if (end >= 0) {
            const QByteArray line = buffer_.left(end + 1);
            buffer_.remove(0, end + 1);
            return line;
        }
        if (!fill(msLeft(deadline)) && (output_ < 0 || msLeft(deadline) == 0))
            return {};
    }
}

QByteArray Process::readAvailable()
{
    while (fill(0)) {
    }
    return std::exchange(buffer_, {});
}

QByteArray Process::readAll(int ms)
{
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (output_ >= 0 && msLeft(deadline) > 0)
        fill(msLeft(deadline));
    return std::exchange(buffer_, {});
}

void Process::closeOutput()
{
    if (output_ >= 0)
        ::close(output_);
    output_ = -1;
}

QByteArray outputOf(const QString& program, const QStringList& args, int ms)
{
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms);
    Process process;
    if (!process.start(program, args, {.readOutput = true, .showErrors = false}))
        return {};
    const QByteArray output = process.readAll(ms);
    process.waitFor(msLeft(deadline));
    return output;
}

} // namespace testsupport
