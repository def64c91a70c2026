// Flood run against a server on a Unix socket: idle connections kept open (re-opened as the
// server drops them), clients hammering GET /status, and a deeply nested JSON body posted
// to /input every second, all at once for a fixed time. Prints one JSON line: /status
// latency percentiles over its 200 answers, how all its answers spread over status codes,
// and the server's resident memory (sampled peak during the run, and its
// high-water mark since start).
//
//   flood --socket PATH --pid PID [--seconds 60] [--idle 1000] [--clients 8] [--deep-bytes 4194304]
#include "percentile.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

sockaddr_un address{};

int connectTo(bool nonBlocking) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), 0);
    if (fd < 0) return -1;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// One request on a fresh connection: the answer's status code, or 0 when none came back.
int exchange(const std::string& request) {
    int fd = connectTo(false);
    if (fd < 0) return 0;
    std::string answer;
    size_t sent = 0;
    while (sent < request.size()) {
        ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;  // a server that refused early may close before taking it all
        sent += static_cast<size_t>(n);
    }
    char buffer[4096];
    for (;;) {
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        answer.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    if (answer.rfind("HTTP/1.1 ", 0) != 0) return 0;
    return std::atoi(answer.c_str() + 9);
}

long kibField(int pid, const char* field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field));
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string socketPath;
    int pid = 0, idle = 1000, clients = 8;
    double seconds = 60;
    size_t deepBytes = 4194304;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string flag = argv[i];
        if (flag == "--socket") socketPath = argv[i + 1];
        else if (flag == "--pid") pid = std::atoi(argv[i + 1]);
        else if (flag == "--seconds") seconds = std::atof(argv[i + 1]);
        else if (flag == "--idle") idle = std::atoi(argv[i + 1]);
        else if (flag == "--clients") clients = std::atoi(argv[i + 1]);
        else if (flag == "--deep-bytes") deepBytes = std::strtoul(argv[i + 1], nullptr, 10);
    }
    if (socketPath.empty() || socketPath.size() >= sizeof(address.sun_path) || pid <= 0) {
        std::fprintf(stderr,
                     "usage: flood --socket PATH --pid PID [--seconds S] [--idle N] [--clients N] [--deep-bytes B]\n");
        return 2;
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
    auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    std::atomic<bool> running{true};

    // Idle connections: opened, never written to, re-opened when the server lets them go.
    std::atomic<long> idleOpen{0}, idleOpened{0};
    std::thread holder([&] {
        std::vector<pollfd> fds;
        while (running) {
            while (static_cast<int>(fds.size()) < idle) {
                int fd = connectTo(true);
                if (fd < 0) break;  // the listen queue is full; try again later
                fds.push_back({fd, POLLIN, 0});
                ++idleOpened;
            }
            idleOpen = static_cast<long>(fds.size());
            ::poll(fds.data(), fds.size(), 50);
            for (size_t i = 0; i < fds.size();) {
                char byte[512];
                if (fds[i].revents && ::recv(fds[i].fd, byte, sizeof byte, MSG_DONTWAIT) <= 0) {
                    ::close(fds[i].fd);
                    fds[i] = fds.back();
                    fds.pop_back();
                } else {
                    fds[i].revents = 0;
                    ++i;
                }
            }
        }
        for (auto& p : fds) ::close(p.fd);
    });

    std::mutex lock;  // guards latencies and codes
    std::vector<double> latencies;
    std::map<int, long> codes;
    std::vector<std::thread> hammers;
    for (int c = 0; c < clients; ++c) {
        hammers.emplace_back([&] {
            const std::string request = "GET /status HTTP/1.1\r\nHost: x\r\n\r\n";
            while (Clock::now() < deadline) {
                auto t0 = Clock::now();
                int code = exchange(request);
                double us = std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
                std::lock_guard<std::mutex> guard(lock);
                ++codes[code];
                if (code == 200) latencies.push_back(us);
            }
        });
    }

    std::map<int, long> deepCodes;
    std::thread deep([&] {
        std::string body(deepBytes, '[');
        std::string request =
            "POST /input HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
        while (Clock::now() < deadline) {
            auto next = Clock::now() + std::chrono::seconds(1);
            std::thread([&, request] { ++deepCodes[exchange(request)]; }).join();
            std::this_thread::sleep_until(next);
        }
    });

    long peakSampled = 0;
    while (Clock::now() < deadline) {
        peakSampled = std::max(peakSampled, kibField(pid, "VmRSS:"));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    for (auto& t : hammers) t.join();
    deep.join();
    running = false;
    holder.join();
    // The high-water mark also holds what start-up used (the encoders' calibration); the
    // samples are what the flood itself cost.
    long highWater = kibField(pid, "VmHWM:");

    std::string codeText, deepText;
    for (auto& [code, count] : codes)
        codeText += (codeText.empty() ? "" : ",") + ("\"" + std::to_string(code) + "\":" + std::to_string(count));
    for (auto& [code, count] : deepCodes)
        deepText += (deepText.empty() ? "" : ",") + ("\"" + std::to_string(code) + "\":" + std::to_string(count));
    std::printf(
        "{\"status_ok\":%zu,\"status_codes\":{%s},\"status_p50_ms\":%.2f,\"status_p99_ms\":%.2f,"
        "\"deep_codes\":{%s},\"idle_opened\":%ld,\"peak_rss_mib\":%.1f,\"high_water_mib\":%.1f}\n",
        latencies.size(), codeText.c_str(), percentile(latencies, 0.5) / 1000, percentile(latencies, 0.99) / 1000,
        deepText.c_str(), idleOpened.load(), static_cast<double>(peakSampled) / 1024,
        static_cast<double>(highWater) / 1024);
    return 0;
}
