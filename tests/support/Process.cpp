#include "support/Process.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace tovo::test {

Process::Process(const std::vector<std::string>& argv, const Options& options) {
    char pathTemplate[] = "/tmp/tovo-test-output-XXXXXX";
    int outputFD = ::mkstemp(pathTemplate);
    if (outputFD < 0) throw std::runtime_error("mkstemp failed");
    outputPath = pathTemplate;

    int pipeFDs[2];
    if (::pipe2(pipeFDs, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");

    std::map<std::string, std::string> env;
    for (char** entry = environ; *entry; ++entry) {
        std::string text(*entry);
        size_t eq = text.find('=');
        if (eq != std::string::npos) env[text.substr(0, eq)] = text.substr(eq + 1);
    }
    for (const auto& name : options.unsetEnv) env.erase(name);
    for (const auto& [name, value] : options.setEnv) env[name] = value;
    std::vector<std::string> envStrings;
    for (const auto& [name, value] : env) envStrings.push_back(name + "=" + value);

    // Everything the child needs is prepared before fork: it only calls async-signal-safe
    // functions afterwards.
    std::vector<char*> childArgv;
    for (const auto& a : argv) childArgv.push_back(const_cast<char*>(a.c_str()));
    childArgv.push_back(nullptr);
    std::vector<char*> childEnv;
    for (auto& e : envStrings) childEnv.push_back(e.data());
    childEnv.push_back(nullptr);

    pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        if (options.keepStdinOpen) {
            ::dup2(pipeFDs[0], STDIN_FILENO);
        } else {
            int devNull = ::open("/dev/null", O_RDONLY);
            ::dup2(devNull, STDIN_FILENO);
        }
        ::dup2(outputFD, STDOUT_FILENO);
        ::dup2(outputFD, STDERR_FILENO);
        if (options.maxOpenFiles) {
            rlimit limit{static_cast<rlim_t>(*options.maxOpenFiles), static_cast<rlim_t>(*options.maxOpenFiles)};
            ::setrlimit(RLIMIT_NOFILE, &limit);
        }
        ::setpgid(0, 0);
        ::execve(childArgv[0], childArgv.data(), childEnv.data());
        ::_exit(127);
    }
    childPid = pid;
    ::close(outputFD);
    ::close(pipeFDs[0]);
    stdinWrite = pipeFDs[1];
}

Process::~Process() {
    if (running()) {
        ::kill(childPid, SIGKILL);
        wait(std::chrono::seconds(5));
    }
    // Whatever it started lives in the same process group.
    ::kill(-childPid, SIGKILL);
    closeStdin();
    ::unlink(outputPath.c_str());
}

void Process::signal(int number) const { ::kill(childPid, number); }

void Process::closeStdin() {
    if (stdinWrite >= 0) ::close(stdinWrite);
    stdinWrite = -1;
}

bool Process::writeStdin(const std::string& text) {
    if (stdinWrite < 0) return false;
    return ::write(stdinWrite, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

std::optional<int> Process::wait(std::chrono::milliseconds limit) {
    eventually(
        [&] {
            int status = 0;
            if (!exitCode && ::waitpid(childPid, &status, WNOHANG) == childPid) {
                exitCode = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
            }
            return exitCode.has_value();
        },
        limit, std::chrono::milliseconds(10));
    return exitCode;
}

bool Process::running() { return !wait(std::chrono::milliseconds(0)).has_value(); }

std::string Process::output() const {
    std::ifstream in(outputPath);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

bool Process::waitForOutput(const std::string& text, std::chrono::milliseconds limit) {
    eventually([&] { return output().find(text) != std::string::npos || !running(); }, limit,
               std::chrono::milliseconds(10));
    return output().find(text) != std::string::npos;
}

CommandResult runCommand(const std::vector<std::string>& argv, std::chrono::milliseconds limit) {
    Process process(argv, Process::Options{.keepStdinOpen = false});
    auto code = process.wait(limit);
    return {code.value_or(-1), process.output()};
}

TempDir::TempDir() {
    char pathTemplate[] = "/tmp/tovo-test-XXXXXX";
    if (!::mkdtemp(pathTemplate)) throw std::runtime_error("mkdtemp failed");
    dir = pathTemplate;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}

bool fileExists(const std::string& path) {
    struct stat info;
    return ::lstat(path.c_str(), &info) == 0;
}

bool eventually(const std::function<bool()>& done, std::chrono::milliseconds limit, std::chrono::milliseconds step) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(step);
    }
    return true;
}

std::array<int, 3> pixelAt(const std::string& file, int x, int y) {
    std::string at = "p{" + std::to_string(x) + "," + std::to_string(y) + "}";
    auto result =
        runCommand({"/usr/bin/convert", file, "-format",
                    "%[fx:int(255*" + at + ".r)],%[fx:int(255*" + at + ".g)],%[fx:int(255*" + at + ".b)]", "info:"});
    std::array<int, 3> rgb{-1, -1, -1};
    std::sscanf(result.output.c_str(), "%d,%d,%d", &rgb[0], &rgb[1], &rgb[2]);
    return rgb;
}

bool near(const std::array<int, 3>& rgb, int r, int g, int b, int tolerance) {
    return std::abs(rgb[0] - r) <= tolerance && std::abs(rgb[1] - g) <= tolerance && std::abs(rgb[2] - b) <= tolerance;
}

}  // namespace tovo::test
