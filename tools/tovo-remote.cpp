// tovo-remote: a command-line stand-in for a paired phone. It pairs with a pairing URL
// (pinning the server's key fingerprint from it), keeps the token, and then makes the
// requests a phone makes, over TLS.
//
//   tovo-remote [--state FILE] pair URL [--host HOST] [--device-id ID] [--name NAME]
//   tovo-remote [--state FILE] status | frame | events
//   tovo-remote [--state FILE] stream [QUERY] [--parts N]   (the access units, concatenated)
//   tovo-remote [--state FILE] input JSON
//   tovo-remote [--state FILE] control take|release
//   tovo-remote [--state FILE] request METHOD PATH [BODY]
//
// Answers go to standard output (bodies as they are); the status line of a refusal and its
// body go to standard error, and the exit code is 1. Anything else that goes wrong (usage,
// a bad URL, no connection within 10 s, a handshake or an answer that does not come within
// 10 s and 30 s, a server that hangs up) is said on standard error with exit code 2. The state file (default
// ~/.config/tovo-remote/state.json) is written owner-only; it holds the token.
#include <fcntl.h>
#include <netdb.h>
#include <nlohmann/json.hpp>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

using nlohmann::json;

namespace {

[[noreturn]] void fail(const std::string& message) {
    std::cerr << "tovo-remote: " << message << "\n";
    std::exit(2);
}

std::string hex(const unsigned char* bytes, size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < size; ++i) out += {digits[bytes[i] >> 4], digits[bytes[i] & 15]};
    return out;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string percentDecode(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%') {
            int high = i + 2 < text.size() ? hexDigit(text[i + 1]) : -1, low = high >= 0 ? hexDigit(text[i + 2]) : -1;
            if (low < 0) fail("the URL has a bad %-escape: " + text.substr(i, 3));
            out += static_cast<char>(high * 16 + low);
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

constexpr int connectSeconds = 10, handshakeSeconds = 10, answerSeconds = 30;

void setReceiveTimeout(int fd, int seconds) {
    timeval limit{seconds, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

// A connected socket to `address` within `seconds`, or -1 with errno set.
int connectWithin(const addrinfo& address, int seconds) {
    int fd = ::socket(address.ai_family, address.ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, address.ai_protocol);
    if (fd < 0) return -1;
    if (::connect(fd, address.ai_addr, address.ai_addrlen) != 0) {
        pollfd waiting{fd, POLLOUT, 0};
        int error = 0;
        socklen_t size = sizeof error;
        if (errno != EINPROGRESS || ::poll(&waiting, 1, seconds * 1000) != 1 ||
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0) {
            int saved = errno == EINPROGRESS ? (error ? error : ETIMEDOUT) : errno;
            ::close(fd);
            errno = saved;
            return -1;
        }
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

// One TLS connection whose server key must have the pinned fingerprint.
class Link {
public:
    Link(const std::string& host, int port, const std::string& fingerprint) {
        if (port <= 0 || port > 65535) fail("bad port " + std::to_string(port));
        addrinfo hints{}, *found = nullptr;
        hints.ai_socktype = SOCK_STREAM;
        if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || !found)
            fail("cannot resolve " + host);
        std::string why = "no address";
        for (addrinfo* a = found; a && fd < 0; a = a->ai_next) {
            fd = connectWithin(*a, connectSeconds);
            if (fd < 0) why = std::strerror(errno);
        }
        freeaddrinfo(found);
        if (fd < 0) fail("cannot connect to " + host + ":" + std::to_string(port) + " (" + why + ")");
        setReceiveTimeout(fd, handshakeSeconds);
        context = SSL_CTX_new(TLS_client_method());
        SSL_CTX_set_min_proto_version(context, TLS1_3_VERSION);
        ssl = SSL_new(context);
        SSL_set_fd(ssl, fd);
        if (SSL_connect(ssl) != 1) {
            fail(errno == EAGAIN || errno == EWOULDBLOCK
                     ? "no TLS handshake within " + std::to_string(handshakeSeconds) + " s"
                     : "TLS handshake failed (the server closed the connection or refused it)");
        }
        setReceiveTimeout(fd, answerSeconds);
        X509* certificate = SSL_get1_peer_certificate(ssl);
        unsigned char point[65], digest[32];
        size_t size = 0;
        if (!certificate || EVP_PKEY_get_octet_string_param(X509_get0_pubkey(certificate), OSSL_PKEY_PARAM_PUB_KEY,
                                                            point, sizeof point, &size) != 1) {
            fail("the server has no P-256 key");
        }
        X509_free(certificate);
        EVP_Digest(point, size, digest, nullptr, EVP_sha256(), nullptr);
        if ("sha256:" + hex(digest, sizeof digest) != fingerprint) fail("the server's key is not the pinned one");
    }
    ~Link() {
        SSL_free(ssl);
        SSL_CTX_free(context);
        ::close(fd);
    }
    void send(const std::string& bytes) {
        if (SSL_write(ssl, bytes.data(), static_cast<int>(bytes.size())) != static_cast<int>(bytes.size())) {
            fail("the server closed the connection");
        }
    }
    // Up to 64 KiB; empty at the end. An answer silent for 30 s fails.
    std::string receive() {
        char buffer[65536];
        errno = 0;
        int n = SSL_read(ssl, buffer, sizeof buffer);
        if (n <= 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            fail("no answer within " + std::to_string(answerSeconds) + " s");
        }
        return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
    }
    // For streams that may be quiet for long (events): no time limit on answers.
    void waitForever() { setReceiveTimeout(fd, 0); }

private:
    int fd = -1;
    SSL_CTX* context = nullptr;
    SSL* ssl = nullptr;
};

struct Response {
    int status = 0;
    std::map<std::string, std::string> headers;
    std::string rest;  // what followed the head
};

Response readHead(Link& link) {
    std::string buffer;
    size_t end;
    while ((end = buffer.find("\r\n\r\n")) == std::string::npos) {
        std::string chunk = link.receive();
        if (chunk.empty()) fail("the connection ended before an answer");
        buffer += chunk;
    }
    Response response;
    std::istringstream lines(buffer.substr(0, end));
    std::string line;
    std::getline(lines, line);
    response.status = std::atoi(line.c_str() + 9);
    while (std::getline(lines, line)) {
        size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::string name = line.substr(0, colon);
        for (auto& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        std::string value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(" \t"));
        value.erase(value.find_last_not_of(" \t\r") + 1);
        response.headers[name] = value;
    }
    response.rest = buffer.substr(end + 4);
    return response;
}

std::string requestText(const std::string& method, const std::string& path, const std::string& body,
                        const std::optional<std::string>& token) {
    std::string text = method + " " + path + " HTTP/1.1\r\nHost: tovo\r\nConnection: close\r\n";
    if (token) text += "Authorization: Bearer " + *token + "\r\n";
    if (!body.empty())
        text += "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
    return text + "\r\n" + body;
}

// Sends one request and copies the answer's body to standard output as it arrives (or, for
// a refusal, to standard error). Returns the exit code.
int roundTrip(Link& link, const std::string& request) {
    link.send(request);
    Response response = readHead(link);
    if (response.status != 200) {
        std::string body = response.rest;
        for (std::string chunk; !(chunk = link.receive()).empty();) body += chunk;
        std::cerr << "HTTP " << response.status << " " << body << "\n";
        return 1;
    }
    std::cout << response.rest << std::flush;
    for (std::string chunk; !(chunk = link.receive()).empty();) std::cout << chunk << std::flush;
    return 0;
}

// Writes each part's payload of a multipart stream to standard output, `parts` at most.
int streamParts(Link& link, const std::string& request, long parts) {
    link.send(request);
    Response response = readHead(link);
    if (response.status != 200) {
        std::cerr << "HTTP " << response.status << "\n";
        return 1;
    }
    std::string buffer = response.rest;
    long written = 0;
    for (;;) {
        size_t head = buffer.find("\r\n\r\n");
        size_t lengthAt = buffer.find("Content-Length:");
        if (head != std::string::npos && lengthAt != std::string::npos && lengthAt < head) {
            size_t length = std::stoul(buffer.substr(lengthAt + 15, head - lengthAt - 15));
            if (buffer.size() >= head + 4 + length) {
                std::cout.write(buffer.data() + head + 4, static_cast<std::streamsize>(length));
                std::cout.flush();
                buffer.erase(0, head + 4 + length);
                if (++written >= parts) return 0;
                continue;
            }
        }
        std::string chunk = link.receive();
        if (chunk.empty()) return written > 0 ? 0 : 1;
        buffer += chunk;
    }
}

std::string defaultState() {
    const char* home = std::getenv("HOME");
    return std::string(home ? home : ".") + "/.config/tovo-remote/state.json";
}

void saveState(const std::string& path, const json& state) {
    for (size_t slash = 1; (slash = path.find('/', slash)) != std::string::npos; ++slash)
        ::mkdir(path.substr(0, slash).c_str(), 0700);
    std::string temporary = path + ".tmp";
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    std::string text = state.dump(2) + "\n";
    if (fd < 0 || ::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()) || ::fsync(fd) != 0) {
        fail("cannot write " + path);
    }
    ::close(fd);
    if (::rename(temporary.c_str(), path.c_str()) != 0) fail("cannot write " + path);
}

json loadState(const std::string& path) {
    std::ifstream in(path);
    json state = json::parse(in, nullptr, false);
    if (!state.is_object()) fail("not paired yet (no " + path + "); run: tovo-remote pair URL");
    return state;
}

std::string randomId() {
    unsigned char bytes[8];
    RAND_bytes(bytes, sizeof bytes);
    return "cli-" + hex(bytes, sizeof bytes);
}

int run(std::vector<std::string> args);

}  // namespace

int main(int argc, char** argv) {
    // A server that hangs up is reported, not a silent death by SIGPIPE.
    std::signal(SIGPIPE, SIG_IGN);
    try {
        return run(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::exception& error) {
        fail(error.what());
    }
}

namespace {

int run(std::vector<std::string> args) {
    std::string statePath = defaultState();
    if (args.size() >= 2 && args[0] == "--state") {
        statePath = args[1];
        args.erase(args.begin(), args.begin() + 2);
    }
    if (args.empty())
        fail(
            "usage: tovo-remote [--state FILE] pair URL | status | frame | events | stream | input JSON | control "
            "take|release | request METHOD PATH [BODY]");
    auto option = [&](const std::string& name) -> std::optional<std::string> {
        for (size_t i = 0; i + 1 < args.size(); ++i) {
            if (args[i] == name) return args[i + 1];
        }
        return std::nullopt;
    };
    const std::string command = args[0];

    if (command == "pair") {
        if (args.size() < 2 || args[1].rfind("tovocontrol://pair?", 0) != 0)
            fail("pair needs a tovocontrol://pair?… URL");
        std::map<std::string, std::string> items;
        std::istringstream query(args[1].substr(19));
        for (std::string item; std::getline(query, item, '&');) {
            size_t eq = item.find('=');
            if (eq != std::string::npos) items[item.substr(0, eq)] = percentDecode(item.substr(eq + 1));
        }
        std::string address = items["a"].substr(0, items["a"].find(','));
        std::string host = option("--host").value_or(address);
        int port = std::atoi(items["p"].c_str());
        Link link(host, port, items["fp"]);
        std::string id = option("--device-id").value_or(randomId());
        json body{{"code", items["c"]}, {"device", {{"id", id}, {"name", option("--name").value_or("tovo-remote")}}}};
        link.send(requestText("POST", "/pair", body.dump(), std::nullopt));
        Response response = readHead(link);
        std::string text = response.rest;
        for (std::string chunk; !(chunk = link.receive()).empty();) text += chunk;
        json answer = json::parse(text, nullptr, false);
        if (response.status != 200 || !answer.contains("token")) {
            std::cerr << "HTTP " << response.status << " " << text << "\n";
            return 1;
        }
        saveState(statePath, {{"host", host},
                              {"port", port},
                              {"fingerprint", items["fp"]},
                              {"token", answer["token"]},
                              {"device", answer["device"]},
                              {"server", answer["server"]}});
        std::cout << json{{"device", answer["device"]}, {"server", answer["server"]}}.dump() << "\n";
        return 0;
    }

    json state = loadState(statePath);
    Link link(state["host"].get<std::string>(), state["port"].get<int>(), state["fingerprint"].get<std::string>());
    const std::string token = state["token"].get<std::string>();
    if (command == "status") return roundTrip(link, requestText("GET", "/status", "", token));
    if (command == "frame") return roundTrip(link, requestText("GET", "/frame", "", token));
    if (command == "events") {
        link.waitForever();
        return roundTrip(link, requestText("GET", "/events", "", token));
    }
    if (command == "input" && args.size() >= 2) return roundTrip(link, requestText("POST", "/input", args[1], token));
    if (command == "control" && args.size() >= 2 && (args[1] == "take" || args[1] == "release")) {
        json body{{"controller", args[1] == "take" ? "user" : "none"}};
        return roundTrip(link, requestText("POST", "/control", body.dump(), token));
    }
    if (command == "stream") {
        std::string query = args.size() >= 2 && args[1].rfind("--", 0) != 0 ? "?" + args[1] : "";
        long parts = std::atol(option("--parts").value_or("1000000").c_str());
        return streamParts(link, requestText("GET", "/stream" + query, "", token), parts);
    }
    if (command == "request" && args.size() >= 3) {
        return roundTrip(link, requestText(args[1], args[2], args.size() >= 4 ? args[3] : "", token));
    }
    fail("unknown command " + command);
}

}  // namespace
