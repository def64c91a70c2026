// Updates: the quiet gate's edges, and a feed served over loopback whose releases are
// signed by the openssl command line; only a correctly signed, newer release is installed,
// and only after two quiet minutes. Also the XDG login item.
#include "app/Updates.h"

#include "app/LoginItem.h"
#include "app/openssl/UpdateCrypto.h"
#include "base/Text.h"
#include "http/ServerIdentity.h"
#include "support/ManualAppLoop.h"
#include "support/ManualTaskQueue.h"
#include "support/Process.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <nlohmann/json.hpp>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <map>
#include <thread>

using namespace tovo;
using tovo::test::ManualAppLoop;

namespace {

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Serves fixed bodies by path on 127.0.0.1, one request per connection.
class LoopbackServer {
public:
    LoopbackServer() {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t length = sizeof address;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
        ::listen(fd, 8);
        thread = std::thread([this] {
            for (;;) {
                int client = ::accept(fd, nullptr, nullptr);
                if (client < 0 || stopping) break;
                std::string request;
                char buffer[4096];
                while (request.find("\r\n\r\n") == std::string::npos) {
                    ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
                    if (n <= 0) break;
                    request.append(buffer, static_cast<size_t>(n));
                }
                std::string path = request.substr(4, request.find(' ', 4) - 4);
                std::string body;
                {
                    std::lock_guard<std::mutex> guard(lock);
                    body = bodies.count(path) ? bodies[path] : "";
                }
                std::string answer =
                    body.empty()
                        ? "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n"
                        : "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
                ::send(client, answer.data(), answer.size(), MSG_NOSIGNAL);
                ::close(client);
            }
        });
    }
    ~LoopbackServer() {
        stopping = true;
        ::shutdown(fd, SHUT_RDWR);
        ::close(fd);
        thread.join();
    }
    void serve(const std::string& path, const std::string& body) {
        std::lock_guard<std::mutex> guard(lock);
        bodies[path] = body;
    }
    std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port) + path; }

private:
    int fd;
    int port = 0;
    std::atomic<bool> stopping{false};
    std::thread thread;
    std::mutex lock;  // guards bodies
    std::map<std::string, std::string> bodies;
};

std::string run(const std::vector<std::string>& argv) {
    auto result = tovo::test::runCommand(argv);
    EXPECT_EQ(result.code, 0) << result.output;
    return result.output;
}

}  // namespace

TEST(Updates, GateWaitsForTwoQuietMinutes) {
    UpdateInstallGate gate;
    EXPECT_FALSE(gate.shouldInstall(false, 100));
    EXPECT_FALSE(gate.shouldInstall(false, 219));
    EXPECT_FALSE(gate.shouldInstall(true, 219.5));  // busy at 119.5 s: start over
    EXPECT_FALSE(gate.shouldInstall(false, 300));
    EXPECT_FALSE(gate.shouldInstall(false, 419.9));
    EXPECT_TRUE(gate.shouldInstall(false, 420));
    EXPECT_TRUE(Updater::newer("1.10.0", "1.9.9"));
    EXPECT_FALSE(Updater::newer("1.2", "1.2.0"));
    EXPECT_FALSE(Updater::newer("x", "1.0"));
    EXPECT_TRUE(Updater::newer("0.1", "dev"));
}

TEST(Updates, OnlyAProperlySignedNewerReleaseInstallsAndOnlyWhenQuiet) {
    tovo::test::TempDir dir;
    const std::string key = dir.path() + "/release.pem", other = dir.path() + "/other.pem";
    run({"/usr/bin/openssl", "genpkey", "-algorithm", "ed25519", "-out", key});
    run({"/usr/bin/openssl", "genpkey", "-algorithm", "ed25519", "-out", other});
    run({"/usr/bin/openssl", "pkey", "-in", key, "-pubout", "-outform", "DER", "-out", dir.path() + "/public.der"});
    std::string publicKey = readAll(dir.path() + "/public.der");
    publicKey = publicKey.substr(publicKey.size() - 32);  // the raw key ends the DER
    auto release = [&](const std::string& name, const std::string& contents, const std::string& signer) {
        std::ofstream(dir.path() + "/" + name, std::ios::binary) << contents;
        run({"/usr/bin/openssl", "pkeyutl", "-sign", "-inkey", signer, "-rawin", "-in", dir.path() + "/" + name, "-out",
             dir.path() + "/" + name + ".sig"});
        return base64(readAll(dir.path() + "/" + name + ".sig"));
    };

    LoopbackServer server;
    const std::string executable = dir.path() + "/tovo-control";
    std::ofstream(executable) << "old";
    LogFile log(dir.path() + "/log");
    ManualAppLoop loop;
    auto queue = std::make_shared<tovo::test::ManualTaskQueue>();
    int relaunched = 0;
    Updater updater({server.url("/feed.json"), publicKey, executable, "1.0.0", ServerIdentity::embeddedVersion}, log,
                    loop, queue, openSSLDownloader(), openSSLSignatureCheck(), [&] { ++relaunched; });

    // The feed offers 2.0.0 as `body` at /`name`, signed by `signer`.
    auto offer = [&](const std::string& name, const std::string& body, const auto& signer) {
        server.serve("/" + name, body);
        server.serve("/feed.json", nlohmann::json{{"version", "2.0.0"},
                                                  {"url", server.url("/" + name)},
                                                  {"signature", release(name, body, signer)}}
                                       .dump());
    };
    auto settle = [&] {
        queue->runJobs();
        loop.runPosted();
    };

    // Signed by another key: refused before anything is written.
    offer("bad", "evil release", other);
    updater.start();
    settle();
    EXPECT_FALSE(updater.pendingVersion());
    EXPECT_NE(::access((executable + ".update").c_str(), F_OK), 0);
    EXPECT_NE(readAll(dir.path() + "/log").find("update: the signature of 2.0.0 does not verify; nothing installed"),
              std::string::npos);

    // The feed's version is not signed; the release's own is. An older signed release
    // offered under a higher number is refused, as is one that carries no version.
    offer("older", "old release\nTOVO-CONTROL-VERSION:1.5.0\n", key);
    updater.checkNow();
    settle();
    EXPECT_FALSE(updater.pendingVersion());
    EXPECT_NE(
        readAll(dir.path() + "/log").find("update: the signed release offered as 2.0.0 is 1.5.0; nothing installed"),
        std::string::npos);
    offer("unmarked", "a release", key);
    updater.checkNow();
    settle();
    EXPECT_FALSE(updater.pendingVersion());

    // Correctly signed: staged, then installed after 120 quiet seconds.
    // (The prefix also stands alone in a build, as the constant that searches for it.)
    const std::string newRelease =
        std::string("new release\nTOVO-CONTROL-VERSION:") + '\0' + "\nTOVO-CONTROL-VERSION:2.0.0\n";
    offer("good", newRelease, key);
    updater.checkNow();
    settle();
    ASSERT_EQ(updater.pendingVersion(), "2.0.0");
    updater.statusChanged(false);
    loop.advance(119);
    updater.statusChanged(true);  // a phone connected: the quiet starts over
    loop.advance(60);
    updater.statusChanged(false);
    loop.advance(119.9);
    updater.statusChanged(false);
    EXPECT_EQ(readAll(executable), "old");
    loop.advance(0.1);
    updater.statusChanged(false);
    EXPECT_EQ(readAll(executable), newRelease);
    EXPECT_EQ(relaunched, 1);
    struct stat info {};
    ::stat(executable.c_str(), &info);
    EXPECT_EQ(info.st_mode & 0777, 0755u);

    // Not newer: nothing downloaded; and a release that says it is the running version is
    // never installed again, whatever the feed claims.
    Updater current({server.url("/feed.json"), publicKey, executable, "2.0.0", ServerIdentity::embeddedVersion}, log,
                    loop, queue, openSSLDownloader(), openSSLSignatureCheck(), [] {});
    current.start();
    settle();
    EXPECT_FALSE(current.pendingVersion());
    server.serve("/feed.json", nlohmann::json{{"version", "2.0.1"},
                                              {"url", server.url("/good")},
                                              {"signature", release("good", newRelease, key)}}
                                   .dump());
    current.checkNow();
    settle();
    EXPECT_FALSE(current.pendingVersion());

    Updater off({"", publicKey, executable, "1.0", ServerIdentity::embeddedVersion}, log, loop, queue,
                openSSLDownloader(), openSSLSignatureCheck(), [] {});
    off.start();
    EXPECT_FALSE(off.running());
    EXPECT_NE(readAll(dir.path() + "/log").find("updates off (no update feed configured)"), std::string::npos);
}

TEST(LoginItem, OfferedOnceAndOnlyForAnInstalledExecutable) {
    tovo::test::TempDir dir;
    LogFile log(dir.path() + "/log");
    LoginItem build("/work/build/tovo-control", "/home/u", dir.path() + "/autostart", dir.path());
    EXPECT_FALSE(build.eligible());
    build.registerOnFirstRun(log);
    EXPECT_FALSE(build.enabled());
    EXPECT_NE(::access((dir.path() + "/login-item-offered").c_str(), F_OK), 0);  // offered again once installed

    LoginItem installed(dir.path() + "/.local/bin/tovo-control", dir.path(), dir.path() + "/autostart", dir.path());
    EXPECT_TRUE(installed.eligible());
    installed.registerOnFirstRun(log);
    ASSERT_TRUE(installed.enabled());
    std::string entry = readAll(installed.entryPath());
    EXPECT_NE(entry.find("Exec=\"" + dir.path() + "/.local/bin/tovo-control\" --app\n"), std::string::npos) << entry;
    installed.set(false);
    installed.registerOnFirstRun(log);  // offered once only
    EXPECT_FALSE(installed.enabled());
    EXPECT_TRUE(LoginItem("/usr/bin/tovo-control", "/home/u", "/x", "/y").eligible());
    EXPECT_TRUE(LoginItem("/opt/tovo/bin/tovo-control", "/home/u", "/x", "/y").eligible());
}
