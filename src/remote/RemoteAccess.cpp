#include "remote/RemoteAccess.h"

#include "base/Log.h"
#include "base/Mutex.h"
#include "base/Text.h"
#include "remote/PrivateFile.h"

#include <unistd.h>

#include <cmath>
#include <set>

namespace tovo {
namespace {

// Standard URL-component encoding: unreserved characters stay, everything else is %XX.
std::string encodeComponent(const std::string& text) { return percentEncode(text, "-._~"); }

std::string joined(const std::vector<std::string>& items, const std::string& separator) {
    std::string out;
    for (const auto& item : items) out += (out.empty() ? "" : separator) + item;
    return out;
}

}  // namespace

RemoteAccess::RemoteAccess(Dependencies d)
    : control(d.control),
      home(std::move(d.home)),
      crypto(d.crypto),
      makeListener(std::move(d.makeListener)),
      advertiser(std::move(d.advertiser)),
      monotonic(std::move(d.monotonic)),
      wall(std::move(d.wall)),
      addresses(std::move(d.addresses)),
      notifier(std::move(d.notifier)),
      registry(home + "/" + RemoteDevices::fileName, d.crypto, wall),
      settings(RemoteSettings::load(home + "/" + RemoteSettings::fileName, d.crypto)),
      queue(std::move(d.queue)) {
    deviceCount = registry.list().size();
    registry.onChange = [this] { devicesChanged(); };
}

RemoteAccess::~RemoteAccess() {
    notifier.reset();
    stop();
    queue->stopTimer();
}

void RemoteAccess::start() {
    try {
        makePrivateDirectory(home);
    } catch (const std::runtime_error& error) {
        log(std::string("remote: ") + error.what());
    }
    std::optional<TLSIdentity> made;
    std::optional<std::string> error;
    try {
        made = TLSIdentity::loadOrCreate(home, static_cast<int64_t>(wall()), crypto);
    } catch (const std::runtime_error& e) {
        error = e.what();
        log(std::string("remote: off: no TLS identity (") + e.what() + ")");
    }
    {
        MutexLock guard(lock);
        running = true;
        identity = std::move(made);
        identityError = error;
        saveSettingsLocked();
    }
    // Retries and the linger's end are noticed by a tick a second.
    queue->startTimer(std::chrono::milliseconds(1000), [this] { tick(); });
}

void RemoteAccess::stop() {
    std::unique_ptr<SecureListener> taken;
    {
        MutexLock guard(lock);
        running = false;
        taken = std::move(listener);
        listeningPort.reset();
    }
    endConnections([](const Tracked&) { return true; });
    if (taken) {
        taken->stop();
        if (advertiser) advertiser->withdraw();
    }
}

void RemoteAccess::tick() { update(); }

void RemoteAccess::update() {
    std::unique_ptr<SecureListener> stopping;
    std::optional<uint16_t> startOn;
    std::optional<TLSIdentity> using_;
    {
        MutexLock guard(lock);
        bool needed = deviceCount > 0 || registry.pairingCode().has_value() || monotonic() < lingerUntil;
        bool wanted = running && settings.enabled && identity && needed;
        if (!wanted && listener) {
            stopping = std::move(listener);
            listeningPort.reset();
        } else if (wanted && !listener && monotonic() >= retryAt) {
            startOn = portAttempts < portTriesBeforeAny ? settings.port : 0;
            using_ = identity;
        }
    }
    if (stopping) {
        stopping->stop();
        if (advertiser) advertiser->withdraw();
        log("remote: listener stopped");
    }
    if (!startOn) return;

    auto created = makeListener();
    SecureListener::Handlers handlers;
    handlers.admit = [this](const std::string& peer, std::function<void()> end) { return admit(peer, std::move(end)); };
    handlers.handshakeFailed = [this](uint64_t connection) { closed(connection); };
    handlers.serve = [this](uint64_t connection, std::unique_ptr<SecureStream> stream) {
        if (serveConnection) {
            serveConnection(connection, std::move(stream));
        } else {
            closed(connection);
        }
    };
    uint16_t port = 0;
    try {
        port = created->start(*startOn, *using_, std::move(handlers));
    } catch (const std::runtime_error& error) {
        int attempts;
        {
            MutexLock guard(lock);
            attempts = ++portAttempts;
            retryAt = monotonic() + 1;
        }
        log("remote: listener on port " + std::to_string(*startOn) + " failed (" + error.what() + "); trying " +
            (attempts < portTriesBeforeAny ? "again" : "any port") + " in 1 s");
        return;
    }
    std::string fingerprint;
    {
        MutexLock guard(lock);
        if (running) {
            listener.reset(created.release());  // created stays empty: it is not stopped below
            listeningPort = port;
            portAttempts = 0;
            if (port != settings.port) {
                settings.port = port;
                saveSettingsLocked();
            }
            fingerprint = identity ? identity->fingerprint : "?";
        }
    }
    if (created) {  // stopped while it started
        created->stop();
        return;
    }
    publish(port);
    log("remote: listening on port " + std::to_string(port) + " (key " + fingerprint + ")");
}

void RemoteAccess::publish(uint16_t port) {
    if (!advertiser) return;
    std::map<std::string, std::string> txt;
    {
        MutexLock guard(lock);
        txt = {{"id", settings.serverId}, {"fp", identity ? identity->fingerprint : ""}, {"api", "1"}};
    }
    advertiser->publish(hostName(), port, txt);
}

void RemoteAccess::saveSettingsLocked() {
    try {
        settings.save(home + "/" + RemoteSettings::fileName);
    } catch (const std::runtime_error& error) {
        log(std::string("remote: ") + error.what());
    }
}

void RemoteAccess::devicesChanged() {
    std::vector<RemoteDevice> paired = registry.list();
    std::set<std::string> ids;
    std::map<std::string, std::string> tokenHashes;
    for (const auto& device : paired) {
        ids.insert(device.id);
        tokenHashes[device.id] = device.tokenHash;
    }
    {
        MutexLock guard(lock);
        if (paired.empty() && deviceCount > 0 && listener) lingerUntil = monotonic() + linger;
        deviceCount = paired.size();
    }
    // A connection belongs to the token it was bound with: removing or re-pairing its device
    // ends it.
    endConnections([&](const Tracked& t) {
        if (!t.device) return false;
        auto hash = tokenHashes.find(*t.device);
        return hash == tokenHashes.end() || hash->second != t.tokenHash;
    });
    if (auto holder = control.holder(); holder && !ids.count(holder->id)) control.deviceRemoved(holder->id);
    queue->post([this] { update(); });
}

void RemoteAccess::endConnections(const std::function<bool(const Tracked&)>& which) {
    std::vector<std::function<void()>> ending;
    {
        MutexLock guard(lock);
        for (const auto& [id, t] : tracked) {
            if (which(t)) ending.push_back(t.end);
        }
    }
    for (auto& end : ending) end();
}

std::optional<uint64_t> RemoteAccess::admit(const std::string& peer, std::function<void()> end) {
    std::vector<std::function<void()>> evicted;
    std::optional<uint64_t> id;
    {
        MutexLock guard(lock);
        // The oldest unbound connection (from `from` when given; an idle one before one that is
        // answering) and how many there are.
        auto unbound = [&](const std::string* from) TOVO_REQUIRES(lock) {
            std::pair<std::map<uint64_t, Tracked>::iterator, size_t> found{tracked.end(), 0};
            auto idle = tracked.end();
            for (auto it = tracked.begin(); it != tracked.end(); ++it) {
                if (it->second.device || (from && it->second.peer != *from)) continue;
                if (found.second++ == 0) found.first = it;
                if (idle == tracked.end() && !it->second.answering) idle = it;
            }
            if (idle != tracked.end()) found.first = idle;
            return found;
        };
        auto evict = [&](std::map<uint64_t, Tracked>::iterator it) TOVO_REQUIRES(lock) {
            evicted.push_back(std::move(it->second.end));
            tracked.erase(it);
        };
        for (auto [oldest, count] = unbound(&peer); count >= maxUnauthenticatedPerPeer;
             std::tie(oldest, count) = unbound(&peer)) {
            evict(oldest);
        }
        for (auto [oldest, count] = unbound(nullptr);
             count > 0 && (count >= maxUnauthenticated || tracked.size() >= maxConnections);
             std::tie(oldest, count) = unbound(nullptr)) {
            evict(oldest);
        }
        if (tracked.size() < maxConnections) {
            id = ++nextId;
            tracked[*id] = Tracked{std::nullopt, "", peer, std::move(end)};
        }
    }
    for (auto& ending : evicted) ending();
    return id;
}

void RemoteAccess::answering(uint64_t connection, bool busy) {
    MutexLock guard(lock);
    if (auto it = tracked.find(connection); it != tracked.end()) it->second.answering = busy;
}

bool RemoteAccess::attach(uint64_t connection, std::function<void()> end) {
    MutexLock guard(lock);
    auto it = tracked.find(connection);
    if (it == tracked.end()) return false;
    it->second.end = std::move(end);
    return true;
}

bool RemoteAccess::bind(uint64_t connection, const RemoteDevice& device) {
    MutexLock guard(lock);
    auto it = tracked.find(connection);
    if (it == tracked.end()) return false;
    if (it->second.device) return *it->second.device == device.id && it->second.tokenHash == device.tokenHash;
    it->second.device = device.id;
    it->second.tokenHash = device.tokenHash;
    return true;
}

bool RemoteAccess::isBound(uint64_t connection) {
    MutexLock guard(lock);
    auto it = tracked.find(connection);
    return it != tracked.end() && it->second.device;
}

void RemoteAccess::closed(uint64_t connection) {
    MutexLock guard(lock);
    tracked.erase(connection);
}

std::optional<RemoteDevice> RemoteAccess::authenticate(const std::optional<std::string>& authorization,
                                                       const std::string& method, const std::string& path,
                                                       const std::string& peer) {
    std::optional<std::string> token;
    if (authorization) {
        size_t space = authorization->find(' ');
        if (space != std::string::npos && lowercased(authorization->substr(0, space)) == "bearer") {
            token = std::string(trimmed(std::string_view(*authorization).substr(space + 1)));
        }
    }
    if (token && !token->empty()) {
        if (auto device = registry.authenticate(*token)) return device;
    }
    bool logIt = false;
    {
        MutexLock guard(lock);
        double now = monotonic();
        if (!last401Log || now - *last401Log >= unauthorizedLogInterval) {
            last401Log = now;
            logIt = true;
        }
    }
    if (logIt) {
        bool hadValue = authorization && !authorization->empty();
        log("remote: 401 " + method + " " + path + " from " + peer + ": " + (hadValue ? "unknown token" : "no token"));
    }
    return std::nullopt;
}

RemoteAccess::Paired RemoteAccess::pair(const std::string& code, const std::string& id, const std::string& name,
                                        const std::string& peer) {
    std::unique_lock<std::mutex> pairing(pairLock, std::try_to_lock);
    if (!pairing.owns_lock()) throw PairingBusy();
    {
        MutexLock guard(lock);
        if (auto wait = pairingGuard.waitFor(peer, monotonic())) throw PairingBackOff(*wait);
    }
    std::string token;
    try {
        token = registry.pair(code, id, name);
    } catch (const PairError& error) {
        if (error.kind != PairError::Kind::badCode) throw;
        std::optional<long> report;  // wrong codes since the last line
        {
            MutexLock guard(lock);
            double now = monotonic();
            pairingGuard.wrong(peer, now);
            ++suppressedWrongCodes;
            if (!lastWrongCodeLog || now - *lastWrongCodeLog >= unauthorizedLogInterval) {
                lastWrongCodeLog = now;
                report = suppressedWrongCodes;
                suppressedWrongCodes = 0;
            }
        }
        if (report) {
            log("remote: a wrong or expired pairing code from " + peer +
                (*report > 1 ? " (" + std::to_string(*report) + " since the last report)" : ""));
        }
        throw;
    }
    {
        MutexLock guard(lock);
        pairingGuard.succeeded(peer);
    }
    for (const auto& device : registry.list()) {
        if (device.id != id) continue;
        if (notifier) {
            notifier->devicePaired(device.name, describe(device.permissions), [this, id] { removeDevice(id); });
        }
        return Paired{token, device};
    }
    RemoteDevice fallback;
    fallback.id = id;
    fallback.name = RemoteDevices::cleanName(name);
    return Paired{token, fallback};
}

void RemoteAccess::startPairing() {
    {
        MutexLock guard(lock);
        if (!settings.enabled) {
            settings.enabled = true;
            saveSettingsLocked();
            log("remote: access turned on");
        }
    }
    registry.startPairing();
}

void RemoteAccess::stopPairing() { registry.stopPairing(); }

void RemoteAccess::setEnabled(bool enabled) {
    {
        MutexLock guard(lock);
        if (settings.enabled == enabled) return;
        settings.enabled = enabled;
        saveSettingsLocked();
    }
    log(std::string("remote: access turned ") + (enabled ? "on" : "off"));
    if (!enabled) {
        registry.stopPairing();
        control.releaseAny("remote access turned off");
        endConnections([](const Tracked&) { return true; });
    }
    queue->post([this] { update(); });
}

bool RemoteAccess::removeDevice(const std::string& id) {
    if (!registry.remove(id)) return false;
    log("remote: removed device " + id);
    return true;
}

std::string RemoteAccess::describe(const DevicePermissions& permissions) {
    std::vector<std::string> can{"see the screen"};
    if (permissions.control) can.push_back("control it");
    if (permissions.clipboard) can.push_back("use the clipboard");
    if (permissions.audio) can.push_back("hear the sound");
    std::string text = "It can " + can[0];
    for (size_t i = 1; i < can.size(); ++i) text += (i + 1 == can.size() ? " and " : ", ") + can[i];
    return text + ". Not yours? Remove it.";
}

bool RemoteAccess::setPermissions(const std::string& id, const DevicePermissions& permissions) {
    if (!registry.setPermissions(id, permissions)) return false;
    log("remote: device " + id + " may " + (permissions.control ? "control" : "not control") + ", " +
        (permissions.clipboard ? "use" : "not use") + " the clipboard, " +
        (permissions.audio ? "listen" : "not listen"));
    if (auto holder = control.holder(); holder && holder->id == id && !permissions.control) {
        control.releaseAny("control no longer allowed for " + holder->name);
    }
    endConnections([&](const Tracked& t) { return t.device == id; });
    return true;
}

std::string RemoteAccess::serverId() {
    MutexLock guard(lock);
    return settings.serverId;
}

std::string RemoteAccess::hostName() {
    if (advertiser) {
        if (auto name = advertiser->hostName()) return *name;
    }
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return "localhost";
    return name;
}

std::vector<std::string> RemoteAccess::addressesNow() { return addresses ? addresses() : std::vector<std::string>{}; }

std::string RemoteAccess::pairingURL(const PairingCode& code) {
    std::string id, fingerprint;
    uint16_t port;
    {
        MutexLock guard(lock);
        id = settings.serverId;
        port = listeningPort.value_or(settings.port);
        fingerprint = identity ? identity->fingerprint : "";
    }
    return "tovocontrol://pair?v=1&id=" + encodeComponent(id) + "&n=" + encodeComponent(hostName()) +
           "&a=" + encodeComponent(joined(addressesNow(), ",")) + "&p=" + std::to_string(port) +
           "&fp=" + encodeComponent(fingerprint) + "&c=" + encodeComponent(code.code);
}

std::string RemoteAccess::webURL(const PairingCode& code) {
    uint16_t port;
    std::string certificate;
    {
        MutexLock guard(lock);
        port = listeningPort.value_or(settings.port);
        if (identity) certificate = identity->certificateDER;
    }
    std::vector<std::string> list = addressesNow();
    std::string host = list.empty() ? "127.0.0.1" : list.front();
    if (host.find(':') != std::string::npos) host = "[" + host + "]";
    return "https://" + host + ":" + std::to_string(port) + "/#pair=" + encodeComponent(code.code) +
           "&fp=" + (certificate.empty() ? std::string() : hexDigits(crypto.sha256(certificate)));
}

nlohmann::json RemoteAccess::json() {
    std::vector<RemoteDevice> paired = registry.list();
    auto code = registry.pairingCode();
    nlohmann::json object;
    std::set<std::string> connected;
    {
        MutexLock guard(lock);
        object["enabled"] = settings.enabled;
        object["listening"] = listeningPort.has_value();
        object["port"] = listeningPort.value_or(settings.port);
        object["serverId"] = settings.serverId;
        if (identity) object["fingerprint"] = identity->fingerprint;
        if (identityError) object["error"] = *identityError;
        for (const auto& [id, t] : tracked) {
            if (t.device) connected.insert(*t.device);
        }
    }
    object["name"] = hostName();
    object["addresses"] = addressesNow();
    nlohmann::json devices = nlohmann::json::array();
    for (const auto& device : paired) {
        nlohmann::json entry = device.json();
        entry["connected"] = connected.count(device.id) > 0;
        devices.push_back(entry);
    }
    object["devices"] = devices;
    object["control"] = control.json();
    object["pairing"] = code ? nlohmann::json{{"code", code->code},
                                              {"expiresAt", static_cast<int64_t>(std::llround(code->expiresAt * 1000))},
                                              {"url", pairingURL(*code)},
                                              {"webUrl", webURL(*code)}}
                             : nlohmann::json();
    return object;
}

}  // namespace tovo
