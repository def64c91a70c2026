// Load generator for HTTP servers on a Unix socket: N clients, each sending one request per
// connection (the service's model) for a fixed time. Prints one JSON line with the request
// rate and latency percentiles.
//
//   http_load --socket PATH --clients N --seconds S [--path /status] [--label NAME]
//             [--method POST --body TEXT]
#include "percentile.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Result {
    std::vector<double> latenciesUs;
    long errors = 0;
};

// One request on a fresh connection; true when a complete answer with a status line came back.
bool oneRequest(const sockaddr_un& address, const std::string& request) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    bool ok = false;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0 &&
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
        char buffer[4096];
        std::string answer;
        for (;;) {
            ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
            if (n <= 0) break;
            answer.append(buffer, static_cast<size_t>(n));
        }
        ok = answer.rfind("HTTP/1.1 ", 0) == 0 && answer.find("\r\n\r\n") != std::string::npos;
    }
    ::close(fd);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    std::string socketPath, path = "/status", label = "server", method = "GET", body;
    int clients = 1;
    double seconds = 5;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string flag = argv[i];
        if (flag == "--socket") socketPath = argv[i + 1];
        else if (flag == "--clients") clients = std::max(1, std::atoi(argv[i + 1]));
        else if (flag == "--seconds") seconds = std::atof(argv[i + 1]);
        else if (flag == "--path") path = argv[i + 1];
        else if (flag == "--label") label = argv[i + 1];
        else if (flag == "--method") method = argv[i + 1];
        else if (flag == "--body") body = argv[i + 1];
    }
    if (socketPath.empty() || socketPath.size() >= sizeof(sockaddr_un::sun_path)) {
        std::fprintf(stderr, "usage: http_load --socket PATH --clients N --seconds S [--path P] [--label L]\n");
        return 2;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
    std::string request = method + " " + path + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n";
    if (!body.empty())
        request += "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
    request += "\r\n" + body;

    std::vector<Result> results(static_cast<size_t>(clients));
    auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            Result& r = results[static_cast<size_t>(c)];
            while (Clock::now() < deadline) {
                auto t0 = Clock::now();
                bool ok = oneRequest(address, request);
                auto t1 = Clock::now();
                if (ok) r.latenciesUs.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
                else ++r.errors;
            }
        });
    }
    for (auto& t : threads) t.join();
    double elapsed = std::chrono::duration<double>(Clock::now() - start).count();

    std::vector<double> all;
    long errors = 0;
    for (auto& r : results) {
        all.insert(all.end(), r.latenciesUs.begin(), r.latenciesUs.end());
        errors += r.errors;
    }
    double p50 = percentile(all, 0.50), p99 = percentile(all, 0.99);
    std::printf(
        "{\"label\":\"%s\",\"clients\":%d,\"requests\":%zu,\"errors\":%ld,\"rps\":%.0f,\"p50_us\":%.1f,\"p99_us\":%.1f}"
        "\n",
        label.c_str(), clients, all.size(), errors, static_cast<double>(all.size()) / elapsed, p50, p99);
    return 0;
}
