// Other programs for the tests to run (xclip, xdotool, the virtual camera,
// the program itself), started with posix_spawn. QProcess starts its child
// with a raw clone() that ThreadSanitizer's interceptor does not survive and
// that qemu-user does not emulate; posix_spawn is a plain vfork and exec.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <sys/types.h>

namespace testsupport {

class Process {
public:
    struct Options {
        // NAME=value entries added to this process's environment, or
        // replacing a variable of the same name there.
        QStringList env = {};
        // Standard output into a pipe for readLine/readAvailable; otherwise
        // it is thrown away (as is standard input, which reads nothing).
        bool readOutput = false;
        // Standard error as this process's own; otherwise thrown away.
        bool showErrors = true;
    };

    // What waitFor returns while the process still runs.
    static constexpr int kRunning = -1;

    Process() = default;
    // Kills a process still running and reaps it.
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    // Starts `program` (looked up in PATH when it has no slash); false when
    // it cannot be started. A process still running from before is killed.
    bool start(const QString& program, const QStringList& args, const Options& options);
    bool start(const QString& program, const QStringList& args)
    {
        return start(program, args, Options{});
    }

    pid_t pid() const { return pid_; }
    bool running();
    void terminate(); // SIGTERM
    void kill();      // SIGKILL

    // Waits at most `ms` for the end: the exit code, 128 + the signal that
    // ended it, or kRunning.
    int waitFor(int ms);

    // The next whole line of output, newline included, waiting at most `ms`
    // for it; empty when none comes or the output ends.
    QByteArray readLine(int ms);
    // Whatever output has come so far, without waiting.
    QByteArray readAvailable();
    // All output to its end, waiting at most `ms` in all.
    QByteArray readAll(int ms);

private:
    // Reads what is there, waiting at most `ms` for something; false at the end.
    bool fill(int ms);
    void closeOutput();

    pid_t pid_ = -1;
    int status_ = kRunning;
    int output_ = -1;
    QByteArray buffer_;
};

// Runs a program to its end, at most `ms`, and returns its standard output;
// its standard error is thrown away. Killed when it runs longer.
QByteArray outputOf(const QString& program, const QStringList& args, int ms = 10000);

} // namespace testsupport
