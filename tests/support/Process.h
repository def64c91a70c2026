#pragma once

#include <array>
#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tovo::test {

// A child process started for a test: its standard input is a pipe the test holds, its
// standard error (and output) goes to a file the test can read while it runs. The child is
// killed (SIGKILL) when the object goes away if it is still running.
class Process {
public:
    struct Options {
        std::map<std::string, std::string> setEnv;  // added or replaced
        std::vector<std::string> unsetEnv;
        std::optional<int> maxOpenFiles;  // RLIMIT_NOFILE for the child
        bool keepStdinOpen = true;        // false: stdin is /dev/null
    };

    Process(const std::vector<std::string>& argv, const Options& options);
    explicit Process(const std::vector<std::string>& argv) : Process(argv, Options{}) {}
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    int pid() const { return childPid; }
    void signal(int number) const;
    void closeStdin();
    bool writeStdin(const std::string& text);

    // The exit code, 128 + signal for a signal; no value when still running after `limit`.
    std::optional<int> wait(std::chrono::milliseconds limit);
    bool running();

    // Everything the child wrote to stderr/stdout so far.
    std::string output() const;
    // Waits until the output contains `text`; false on time-out or when the child ended first.
    bool waitForOutput(const std::string& text, std::chrono::milliseconds limit);

private:
    int childPid = -1;
    int stdinWrite = -1;
    std::string outputPath;
    std::optional<int> exitCode;
};

// Runs a command to completion and returns its exit code and combined output.
struct CommandResult {
    int code;
    std::string output;
};
CommandResult runCommand(const std::vector<std::string>& argv,
                         std::chrono::milliseconds limit = std::chrono::seconds(30));

// A fresh private directory under /tmp, removed with its contents when the object goes away.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return dir; }

private:
    std::string dir;
};

bool fileExists(const std::string& path);

// Asks `done` every `step` until it says yes or `limit` passed; its last answer.
bool eventually(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(5),
                std::chrono::milliseconds step = std::chrono::milliseconds(50));

// The colour ImageMagick reads at (x, y) of a picture file, as {r, g, b}; and whether it is
// within `tolerance` of (r, g, b).
std::array<int, 3> pixelAt(const std::string& file, int x, int y);
bool near(const std::array<int, 3>& rgb, int r, int g, int b, int tolerance = 24);

}  // namespace tovo::test
