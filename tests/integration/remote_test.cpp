// Remote access from outside: a phone stand-in (tovo-remote) pairs and drives the desktop
// over TLS, checked with xdotool, ffprobe, openssl, curl, avahi-browse and a Python TLS
// client. Only loopback addresses are contacted.
#include "support/Paths.h"
#include "support/Process.h"
#include "support/ServiceProcess.h"
#include "support/VirtualDesktop.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <nlohmann/json.hpp>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <thread>

using namespace tovo::test;
using namespace std::chrono_literals;
using nlohmann::json;

namespace {

uint16_t freePort() {
    int fd = ::socket(AF_INET6, SOCK_STREAM, 0);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t size = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    ::close(fd);
    return ntohs(address.sin6_port);
}

int modeOf(const std::string& path) {
    struct stat info {};
    ::stat(path.c_str(), &info);
    return info.st_mode & 0777;
}

// A service with --remote on the shared desktop, its remote home in a directory of its own
// and its listener on a free port.
struct Remote {
    TempDir home;
    uint16_t port = freePort();
    std::unique_ptr<ServiceProcess> service;

    explicit Remote(Process::Options options = {}) {
        std::ofstream(home.path() + "/remote.json") << json{{"port", port}, {"serverId", "test-server-0000001"}}.dump();
        std::string socket = home.path() + "/screen.sock";
        service = std::make_unique<ServiceProcess>(binary, VirtualDesktop::shared().display(), options,
                                                   std::vector<std::string>{"--remote", "--socket", socket});
        service->socket = socket;
        EXPECT_TRUE(service->ready()) << service->process->output();
    }
    HTTPResponse local(const std::string& method, const std::string& path, const std::string& body = "") {
        return httpExchange(service->socket, method + " " + path + " HTTP/1.1\r\nContent-Length: " +
                                                 std::to_string(body.size()) + "\r\n\r\n" + body);
    }
    // A fresh pairing code's URL, once the listener is up.
    std::string pairingURL() {
        json state = json::parse(local("POST", "/remote/pairing").body);
        EXPECT_TRUE(eventually([&] { return json::parse(local("GET", "/remote").body)["listening"] == true; }, 5s));
        return state["pairing"]["url"];
    }
    std::string url(const std::string& path) const { return "https://127.0.0.1:" + std::to_string(port) + path; }
    std::string state(const std::string& name) const { return home.path() + "/" + name + ".state"; }
    CommandResult client(const std::string& name, std::vector<std::string> args) {
        args.insert(args.begin(), {remoteClient, "--state", state(name)});
        return runCommand(args, 20s);
    }
    std::string pair(const std::string& name) {
        auto result = client(name, {"pair", pairingURL(), "--host", "127.0.0.1", "--device-id", name, "--name", name});
        EXPECT_EQ(result.code, 0) << result.output;
        return json::parse(std::ifstream(state(name)))["token"];
    }
};

}  // namespace

TEST(Remote, APairedPhoneDrivesTheDesktopUntilItIsRemoved) {
    Remote remote;
    remote.pair("phone-one");
    EXPECT_EQ(json::parse(remote.client("phone-one", {"status"}).output)["control"], json({{"controller", "none"}}));
    auto management = remote.client("phone-one", {"request", "GET", "/remote"});
    EXPECT_EQ(management.code, 1);
    EXPECT_NE(management.output.find(R"(HTTP 404 {"error":"no such endpoint /remote"})"), std::string::npos);

    const std::string move = R"({"type":"move","x":0.25,"y":0.5})";
    EXPECT_NE(remote.client("phone-one", {"input", move}).output.find("take control of the screen first"),
              std::string::npos);
    ASSERT_EQ(remote.client("phone-one", {"control", "take"}).code, 0);
    ASSERT_EQ(remote.client("phone-one", {"input", move}).code, 0);
    EXPECT_EQ(runCommand({"/usr/bin/xdotool", "getmouselocation"}).output.substr(0, 11), "x:480 y:540");

    // A stream over TLS that ffprobe decodes.
    const std::string video = remote.home.path() + "/stream.bin";
    auto streamed = runCommand({"/bin/sh", "-c",
                                "'" + remoteClient + "' --state '" + remote.state("phone-one") +
                                    "' stream fps=10 --parts 4 > '" + video + "'"});
    ASSERT_EQ(streamed.code, 0) << streamed.output;
    auto probe = runCommand(
        {"/usr/bin/ffprobe", "-v", "error", "-show_entries", "stream=codec_name,width", "-of", "csv=p=0", video});
    EXPECT_TRUE(probe.output.rfind("h264,", 0) == 0 || probe.output.rfind("hevc,", 0) == 0) << probe.output;

    // A second phone, and local clients, are refused while the first holds control.
    remote.pair("phone-two");
    auto elsewhere = remote.client("phone-two", {"input", move});
    EXPECT_NE(elsewhere.output.find(
                  R"("code":"controlled-elsewhere","controllerDevice":{"id":"phone-one","name":"phone-one"})"),
              std::string::npos)
        << elsewhere.output;
    EXPECT_EQ(remote.local("POST", "/input", move).status, 409);

    // Removing the device from the local socket ends its open connections at once and frees
    // control.
    Process feed({remoteClient, "--state", remote.state("phone-one"), "events"});
    ASSERT_TRUE(feed.waitForOutput("\"type\":\"state\"", 5s)) << feed.output();
    EXPECT_EQ(remote.local("POST", "/remote/devices/remove", R"({"id":"phone-one"})").status, 200);
    EXPECT_NE(feed.wait(3s), std::nullopt);
    EXPECT_EQ(json::parse(remote.local("GET", "/status").body)["control"], json({{"controller", "none"}}));
    EXPECT_EQ(remote.client("phone-two", {"input", move}).output.find("controlled-elsewhere"), std::string::npos);
}

TEST(Remote, TLS13OnlyWithTheCertificateWeWroteAndPrivateFiles) {
    Remote remote;
    remote.pairingURL();
    const std::string target = "127.0.0.1:" + std::to_string(remote.port);
    EXPECT_NE(runCommand({"/bin/sh", "-c", "openssl s_client -connect " + target + " -tls1_2 </dev/null"}).code, 0);
    auto tls13 = runCommand({"/bin/sh", "-c", "openssl s_client -connect " + target + " -tls1_3 </dev/null"});
    EXPECT_NE(tls13.output.find("New, TLSv1.3"), std::string::npos) << tls13.output;
    EXPECT_NE(tls13.output.find("Server public key is 256 bit"), std::string::npos);

    const std::string certificate = remote.home.path() + "/tls-cert.der";
    auto text =
        runCommand({"/usr/bin/openssl", "x509", "-inform", "DER", "-in", certificate, "-text", "-noout"}).output;
    for (const char* expected : {"Version: 3 (0x2)", "Signature Algorithm: ecdsa-with-SHA256",
                                 "Issuer: CN = Tovo Control", "Subject: CN = Tovo Control", "ASN1 OID: prime256v1"}) {
        EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n" << text;
    }
    auto point = runCommand({"/bin/sh", "-c",
                             "openssl x509 -inform DER -in '" + certificate +
                                 "' -noout -pubkey | openssl pkey -pubin -outform DER | tail -c 65 | sha256sum"});
    std::string fingerprint = json::parse(remote.local("GET", "/remote").body)["fingerprint"];
    EXPECT_EQ("sha256:" + point.output.substr(0, 64), fingerprint);

    for (const char* file : {"remote.json", "devices.json", "tls-key.der", "tls-cert.der"}) {
        remote.pair("phone-perm");
        EXPECT_EQ(modeOf(remote.home.path() + "/" + file), 0600) << file;
    }
    EXPECT_EQ(modeOf(remote.home.path()), 0700);
}

TEST(Remote, FloodsAndBadClientsAreCutOffWithoutHurtingOthers) {
    Remote remote;
    std::string token = remote.pair("phone-good");
    const std::string host = "127.0.0.1";
    auto quietConnection = [&] {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(remote.port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        timeval limit{15, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        return fd;
    };
    // The server closes the connection (after an alert, perhaps) within `limit`.
    auto closedWithin = [](int fd, std::chrono::milliseconds limit) {
        auto start = std::chrono::steady_clock::now();
        char buffer[512];
        while (::recv(fd, buffer, sizeof buffer, 0) > 0) {}
        ::close(fd);
        return std::chrono::steady_clock::now() - start < limit;
    };

    // Handshakes that never start: two at most from one address, a third evicts the oldest
    // at once, and a paired phone still gets in (evicting the next); the rest go after 10 s.
    std::vector<int> silent;
    for (int i = 0; i < 3; ++i) silent.push_back(quietConnection());
    EXPECT_TRUE(closedWithin(silent[0], 1s));
    EXPECT_EQ(remote.client("phone-good", {"status"}).code, 0);
    EXPECT_TRUE(closedWithin(silent[1], 1s));
    EXPECT_TRUE(closedWithin(silent[2], 12s));

    // Plain HTTP and garbage on the TLS port end only their own connection.
    for (const std::string& junk :
         {std::string("GET /status HTTP/1.1\r\n\r\n"), std::string("\x16\x03\x01\x00\x05hello", 10)}) {
        int fd = quietConnection();
        ::send(fd, junk.data(), junk.size(), MSG_NOSIGNAL);
        EXPECT_TRUE(closedWithin(fd, 2s));
    }
    EXPECT_EQ(remote.client("phone-good", {"status"}).code, 0);

    // 32 bound connections: a 33rd is refused.
    auto flood = runCommand({"/usr/bin/python3", sourceDir + "/tests/support/remote_flood.py", host,
                             std::to_string(remote.port), token, "32"},
                            60s);
    EXPECT_EQ(json::parse(flood.output, nullptr, false), json({{"bound", 32}, {"extra", "refused"}})) << flood.output;

    // A burst of bad tokens logs one line; no token reaches the log.
    std::vector<std::string> curl = {"/usr/bin/curl", "-sk", "-o",
                                     "/dev/null",     "-H",  "Authorization: Bearer not-a-token"};
    for (int i = 0; i < 30; ++i) curl.push_back(remote.url("/status"));
    runCommand(curl);
    std::string log = remote.service->process->output();
    size_t lines = 0;
    for (size_t at = 0; (at = log.find("remote: 401 GET /status", at)) != std::string::npos; ++at) ++lines;
    EXPECT_EQ(lines, 1u) << log;
    EXPECT_EQ(log.find("not-a-token"), std::string::npos);
    EXPECT_EQ(log.find(token), std::string::npos);

    // Management and pairing bodies of the wrong shape.
    EXPECT_EQ(remote.local("POST", "/remote/enabled", "{}").body, R"({"error":"enabled must be a boolean"})");
    EXPECT_EQ(remote.local("POST", "/remote/devices/remove", R"({"id":"nobody-123"})").body,
              R"({"error":"no paired device nobody-123"})");
    EXPECT_EQ(runCommand({"/usr/bin/curl", "-sk", remote.url("/pair"), "-d", R"({"code":1})"}).output,
              R"({"error":"body must be { code, device: { id, name } }"})");

    // Wrong pairing codes slow down their own address only; the live code stays.
    std::string url = remote.pairingURL();
    std::string code = url.substr(url.find("&c=") + 3);
    auto pairWith = [&](const std::string& c, const std::string& from) {
        return runCommand({"/usr/bin/curl", "-sk", "--interface", from, remote.url("/pair"), "-d",
                           R"({"code":")" + c + R"(","device":{"id":"phone-late","name":"Late"}})"})
            .output;
    };
    for (int i = 0; i < 5; ++i) pairWith("wrong-code", "127.0.0.1");
    EXPECT_EQ(pairWith(code, "127.0.0.1"),
              R"({"error":"too many wrong pairing codes from this address; try again in 1 s"})");
    EXPECT_NE(pairWith(code, "127.0.0.2").find(R"("token")"), std::string::npos);
    log = remote.service->process->output();
    EXPECT_NE(log.find("remote: a wrong or expired pairing code from 127.0.0.1"), std::string::npos) << log;
    EXPECT_EQ(log.find("remote: a wrong or expired pairing code from 127.0.0.1"),
              log.rfind("remote: a wrong or expired"));

    // An unbound connection ends after its /pair answer.
    EXPECT_EQ(runCommand({"/usr/bin/curl", "-sk", "-o", "/dev/null", "-o", "/dev/null", "-w", "%{num_connects} ", "-d",
                          R"({"code":"x","device":{"id":"phone-late","name":"Late"}})", remote.url("/pair"),
                          remote.url("/pair")})
                  .output,
              "1 1 ");
}

TEST(Remote, AnnouncedOverDNSSDOnLoopback) {
    TempDir responder;
    auto started = runCommand({"/bin/bash", sourceDir + "/scripts/avahi-loopback.sh", "start", responder.path()}, 30s);
    if (started.code == 3) GTEST_SKIP() << "an avahi-daemon already runs on this machine";
    ASSERT_EQ(started.code, 0) << started.output;
    std::string bus;
    std::ifstream(responder.path() + "/env") >> bus;
    bus = bus.substr(bus.find('=') + 1);
    {
        Process::Options options;
        options.setEnv["DBUS_SYSTEM_BUS_ADDRESS"] = bus;
        Remote remote(options);
        remote.pairingURL();
        std::string fingerprint = json::parse(remote.local("GET", "/remote").body)["fingerprint"];
        std::string found;
        EXPECT_TRUE(eventually(
            [&] {
                found = runCommand({"/bin/sh", "-c",
                                    "DBUS_SYSTEM_BUS_ADDRESS='" + bus + "' avahi-browse -rtp _tovocontrol._tcp"},
                                   10s)
                            .output;
                return found.find("\"fp=" + fingerprint + "\"") != std::string::npos;
            },
            10s, 200ms))
            << found;
        EXPECT_NE(found.find(";lo;IPv4;"), std::string::npos);
        EXPECT_NE(found.find(";" + std::to_string(remote.port) + ";"), std::string::npos);
        EXPECT_NE(found.find("\"id=test-server-0000001\""), std::string::npos);
    }
    runCommand({"/bin/bash", sourceDir + "/scripts/avahi-loopback.sh", "stop", responder.path()});
}

// The phone stand-in says what went wrong, with exit code 2, and never waits forever.
TEST(Remote, TheClientToolReportsFailuresAndGivesUp) {
    TempDir home;
    auto listener = [](bool acceptAndClose) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(fd, 4);
        socklen_t size = sizeof address;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
        if (acceptAndClose) {
            std::thread([fd] {
                for (int client; (client = ::accept(fd, nullptr, nullptr)) >= 0;) ::close(client);
            }).detach();
        }
        return std::make_pair(fd, ntohs(address.sin_port));
    };
    auto statusAgainst = [&](uint16_t port) {
        std::string state = home.path() + "/state-" + std::to_string(port) + ".json";
        std::ofstream(state)
            << json{{"host", "127.0.0.1"}, {"port", port}, {"fingerprint", "sha256:00"}, {"token", "t"}}.dump();
        return runCommand({remoteClient, "--state", state, "status"}, 20s);
    };
    auto [silentFd, silentPort] = listener(false);   // connects, never speaks
    auto [closingFd, closingPort] = listener(true);  // hangs up at once
    auto started = std::chrono::steady_clock::now();
    auto silent = statusAgainst(silentPort);
    EXPECT_EQ(silent.code, 2);
    EXPECT_NE(silent.output.find("no TLS handshake within 10 s"), std::string::npos) << silent.output;
    EXPECT_LT(std::chrono::steady_clock::now() - started, 15s);
    auto closing = statusAgainst(closingPort);
    EXPECT_EQ(closing.code, 2);
    EXPECT_NE(closing.output.find("TLS handshake failed"), std::string::npos) << closing.output;
    auto refused = statusAgainst(freePort());
    EXPECT_EQ(refused.code, 2);
    EXPECT_NE(refused.output.find("Connection refused"), std::string::npos) << refused.output;
    auto badURL = runCommand({remoteClient, "--state", home.path() + "/s.json", "pair",
                              "tovocontrol://pair?v=1&a=127.0.0.1&p=1&fp=%zz&c=x"});
    EXPECT_EQ(badURL.code, 2);
    EXPECT_NE(badURL.output.find("the URL has a bad %-escape: %zz"), std::string::npos) << badURL.output;
    ::shutdown(closingFd, SHUT_RDWR);
    ::close(silentFd);
}
