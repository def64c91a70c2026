#pragma once

#include "base/Clock.h"
#include "base/Mutex.h"
#include "base/TaskQueue.h"
#include "remote/Crypto.h"
#include "remote/PairingGuard.h"
#include "remote/PairingNotifier.h"
#include "remote/RemoteControl.h"
#include "remote/RemoteDevices.h"
#include "remote/RemoteSettings.h"
#include "remote/SecureListener.h"
#include "remote/TLSIdentity.h"

#include <nlohmann/json.hpp>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace tovo {

// A second pairing while one runs.
class PairingBusy : public std::runtime_error {
public:
    PairingBusy() : std::runtime_error("another pairing is in progress") {}
};

// An address that sent too many wrong pairing codes must wait before it tries again.
class PairingBackOff : public std::runtime_error {
public:
    explicit PairingBackOff(double seconds)
        : std::runtime_error("too many wrong pairing codes from this address; try again in " +
                             std::to_string(static_cast<long long>(seconds + 0.999)) + " s") {}
};

// Remote access for paired phones: the settings, the paired devices and the TLS identity
// kept in `home`, the TLS listener (running only while it is useful: devices are paired, a
// pairing code is live, or for 120 s after the last device went), its DNS-SD publication,
// the connections it serves and the limits on them, and token authentication. The request
// loop on each connection is the API's; it reports here.
//
// Threads: any. The listener is started and stopped only on `queue`; `lock` is never held
// while ending connections or stopping the listener.
class RemoteAccess {
public:
    // Connections: at most 32, of them at most 4 not yet bound to a device and at most 2 of
    // those from one address. A newcomer over a limit evicts the oldest unbound connection
    // (of its own address first), so unbound connections can never lock paired phones out;
    // it is refused only when every connection is bound. An idle one goes before one that is
    // answering a request, so that a browser loading the page's files over several
    // connections does not lose a file half sent.
    static constexpr size_t maxConnections = 32;
    static constexpr size_t maxUnauthenticated = 4;
    static constexpr size_t maxUnauthenticatedPerPeer = 2;
    static constexpr double linger = 120;
    static constexpr double unauthorizedLogInterval = 10;
    static constexpr int portTriesBeforeAny = 6;

    struct Dependencies {
        std::string home;
        Crypto& crypto;
        RemoteControl& control;
        SecureListenerFactory makeListener;
        std::unique_ptr<ServiceAdvertiser> advertiser;  // may be null
        std::shared_ptr<TaskQueue> queue;
        MonotonicClock monotonic = monotonicSeconds;
        MonotonicClock wall = wallSeconds;
        // The computer's IPv4 addresses for phones.
        std::function<std::vector<std::string>()> addresses;
        // Tells the person at the computer that a device paired; may be null.
        std::unique_ptr<PairingNotifier> notifier;
    };

    // Loads the settings and devices; starts nothing.
    explicit RemoteAccess(Dependencies dependencies);
    ~RemoteAccess();

    // Loads or makes the TLS identity and starts the listener when it is wanted.
    void start();
    // Stops the listener and ends every connection.
    void stop();

    // What serves a connection once its handshake is done (the API's request loop), with the
    // connection's id. Set before start().
    std::function<void(uint64_t connection, std::unique_ptr<SecureStream>)> serveConnection;

    // --- the listener's and the request loop's reports ---------------------------------
    // A connection was accepted from `peer`; `end` ends it from any thread. Returns its id,
    // or none when it must be closed at once. Connections it evicts are ended before it
    // returns.
    std::optional<uint64_t> admit(const std::string& peer, std::function<void()> end);
    // The request loop serves the connection now; `end` replaces the listener's. False when
    // the connection was evicted meanwhile: close it.
    bool attach(uint64_t connection, std::function<void()> end);
    // The connection is answering a request (true) or waiting for the next one (false).
    void answering(uint64_t connection, bool busy);
    // Binds the connection to `device` (and the token it was bound with) at its first
    // authenticated request; false when it is bound to another device or token already.
    bool bind(uint64_t connection, const RemoteDevice& device);
    bool isBound(uint64_t connection);
    // The connection ended (also after a failed handshake).
    void closed(uint64_t connection);
    // The device an "authorization" header names, or none (a 401 is logged at most every
    // 10 s, never with the token).
    std::optional<RemoteDevice> authenticate(const std::optional<std::string>& authorization, const std::string& method,
                                             const std::string& path, const std::string& peer);
    struct Paired {
        std::string token;
        RemoteDevice device;
    };
    // Pairs a phone at `peer` with the live code; throws PairingBusy, PairingBackOff or
    // PairError. Wrong codes are counted per address and logged at most every 10 s.
    Paired pair(const std::string& code, const std::string& id, const std::string& name, const std::string& peer);

    // --- local management --------------------------------------------------------------
    nlohmann::json json();
    void startPairing();
    void stopPairing();
    void setEnabled(bool enabled);
    bool removeDevice(const std::string& id);
    // Sets what device `id` may do; its connections end (its page or app reconnects under
    // the new permissions) and, without control, it loses control. False when no such device.
    bool setPermissions(const std::string& id, const DevicePermissions& permissions);
    std::string serverId();
    std::string hostName();
    std::string pairingURL(const PairingCode& code);
    // The browser link: https://<address>:<port>/#pair=<code>&fp=<SHA-256 of the certificate,
    // hex>, the fingerprint a browser's certificate view shows. The fragment never reaches
    // the network.
    std::string webURL(const PairingCode& code);
    // What a device with these permissions can do, as the pairing notice says it.
    static std::string describe(const DevicePermissions& permissions);

    RemoteDevices& devices() { return registry; }
    RemoteControl& control;

private:
    struct Tracked {
        std::optional<std::string> device;
        std::string tokenHash;  // of the token it was bound with
        std::string peer;
        std::function<void()> end;
        bool answering = false;  // a request is being answered
    };
    void devicesChanged();
    // Starts or stops the listener as needed. On `queue` only.
    void update();
    void tick();
    void saveSettingsLocked() TOVO_REQUIRES(lock);
    void endConnections(const std::function<bool(const Tracked&)>& which);
    std::vector<std::string> addressesNow();
    void publish(uint16_t port);

    const std::string home;
    Crypto& crypto;
    const SecureListenerFactory makeListener;
    const std::unique_ptr<ServiceAdvertiser> advertiser;
    const MonotonicClock monotonic;
    const MonotonicClock wall;
    const std::function<std::vector<std::string>()> addresses;
    std::unique_ptr<PairingNotifier> notifier;  // reset first on destruction: its thread calls in
    RemoteDevices registry;

    Mutex lock;  // guards everything below
    RemoteSettings settings TOVO_GUARDED_BY(lock);
    std::optional<TLSIdentity> identity TOVO_GUARDED_BY(lock);
    std::optional<std::string> identityError TOVO_GUARDED_BY(lock);
    std::unique_ptr<SecureListener> listener TOVO_GUARDED_BY(lock);
    std::optional<uint16_t> listeningPort TOVO_GUARDED_BY(lock);
    int portAttempts TOVO_GUARDED_BY(lock) = 0;
    double retryAt TOVO_GUARDED_BY(lock) = 0;  // monotonic
    bool running TOVO_GUARDED_BY(lock) = false;
    uint64_t nextId TOVO_GUARDED_BY(lock) = 0;
    std::map<uint64_t, Tracked> tracked TOVO_GUARDED_BY(lock);  // ids rise: the first unbound one is the oldest
    PairingGuard pairingGuard TOVO_GUARDED_BY(lock);
    std::optional<double> last401Log TOVO_GUARDED_BY(lock);
    std::optional<double> lastWrongCodeLog TOVO_GUARDED_BY(lock);
    long suppressedWrongCodes TOVO_GUARDED_BY(lock) = 0;
    double lingerUntil TOVO_GUARDED_BY(lock) = 0;  // monotonic
    size_t deviceCount TOVO_GUARDED_BY(lock) = 0;

    // Held while one pairing runs; only tried, never waited for. It guards no field, so it
    // stays a plain mutex outside the analysis.
    std::mutex pairLock;
    // Last, so that its thread ends before the fields its jobs read.
    const std::shared_ptr<TaskQueue> queue;
};

}  // namespace tovo
