// Pairing and the paired devices, the control arbiter, and remote access's listener,
// limits and authentication, on hand-driven clocks and queues.
#include "remote/PrivateFile.h"
#include "remote/RemoteAccess.h"
#include "remote/openssl/OpenSSLCrypto.h"
#include "support/LogCapture.h"
#include "support/ManualTaskQueue.h"
#include "support/Process.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace tovo;
using namespace tovo::test;

namespace {

PairError::Kind pairFailure(RemoteDevices& devices, const std::string& code, const std::string& id,
                            const std::string& name = "Phone") {
    try {
        devices.pair(code, id, name);
    } catch (const PairError& e) {
        return e.kind;
    }
    ADD_FAILURE() << "paired " << id;
    return PairError::Kind::full;
}

}  // namespace

TEST(RemoteDevices, CodesAreSingleUseAndShortLived) {
    TempDir home;
    auto crypto = makeOpenSSLCrypto();
    double now = 1000;
    RemoteDevices devices(home.path() + "/devices.json", *crypto, [&] { return now; });
    int changes = 0;
    devices.onChange = [&] { ++changes; };

    std::string code = devices.startPairing().code;
    EXPECT_EQ(code.size(), 22u);
    std::string token = devices.pair(code, "phone-0001", "  My\nPhone\u2028 ");
    EXPECT_EQ(token.size(), 43u);
    EXPECT_EQ(devices.list().front().name, "MyPhone");
    EXPECT_EQ(pairFailure(devices, code, "phone-0002"), PairError::Kind::badCode);  // used once
    ASSERT_TRUE(devices.authenticate(token));
    EXPECT_FALSE(devices.authenticate(token + "x"));
    // Only the hash is kept.
    EXPECT_EQ(readWholeFile(home.path() + "/devices.json")->find(token), std::string::npos);

    // Wrong codes never end the live one: anybody could stop every pairing.
    code = devices.startPairing().code;
    for (int i = 0; i < 20; ++i) EXPECT_EQ(pairFailure(devices, "wrong", "phone-0002"), PairError::Kind::badCode);
    devices.pair(code, "phone-0002", "P");

    // Refused from the moment it expires.
    code = devices.startPairing().code;
    now += RemoteDevices::codeLifetime;
    EXPECT_EQ(pairFailure(devices, code, "phone-0002"), PairError::Kind::badCode);

    code = devices.startPairing().code;
    for (const char* id : {"short-7", "has.dot-1", "has space1"})
        EXPECT_EQ(pairFailure(devices, code, id), PairError::Kind::badDevice);
    EXPECT_EQ(RemoteDevices::cleanName(" \r\n "), "iPhone");
    EXPECT_EQ(RemoteDevices::cleanName(std::string(100, 'n')), std::string(64, 'n'));
    EXPECT_EQ(changes, 6);  // each code shown and each pairing; a wrong code changes nothing
}

TEST(RemoteDevices, ThirtyTwoAtMostButRepairingReplaces) {
    TempDir home;
    auto crypto = makeOpenSSLCrypto();
    const std::string path = home.path() + "/devices.json";
    RemoteDevices devices(path, *crypto, [] { return 5000.0; });
    std::string first;
    for (int i = 0; i < 32; ++i) {
        std::string token = devices.pair(devices.startPairing().code, "phone-" + std::to_string(1000 + i), "P");
        if (i == 0) first = token;
    }
    EXPECT_EQ(pairFailure(devices, devices.startPairing().code, "phone-new-1"), PairError::Kind::full);
    std::string again = devices.pair(devices.startPairing().code, "phone-1000", "P");
    EXPECT_FALSE(devices.authenticate(first));
    EXPECT_EQ(devices.authenticate(again)->id, "phone-1000");

    // Loaded back, an entry with a short token hash is skipped.
    std::string text = *readWholeFile(path);
    size_t hashAt = text.find("\"tokenHash\": \"") + 14;
    text.erase(hashAt, 1);
    writePrivate(text, path);
    EXPECT_EQ(RemoteDevices(path, *crypto, [] { return 0.0; }).list().size(), 31u);
}

TEST(RemoteSettings, BadValuesFallBackKeyByKey) {
    TempDir home;
    auto crypto = makeOpenSSLCrypto();
    const std::string path = home.path() + "/remote.json";
    for (const char* port : {"0", "70000", "\"47821\""}) {
        writePrivate(std::string(R"({"serverId":"twelve-chars","enabled":false,"port":)") + port + "}", path);
        RemoteSettings settings = RemoteSettings::load(path, *crypto);
        EXPECT_EQ(settings.port, 47820);
        EXPECT_EQ(settings.serverId.size(), 22u);
        EXPECT_FALSE(settings.enabled);
    }
}

TEST(RemoteControl, OneHolderAtATimeUntilReleaseOrIdle) {
    double now = 0;
    auto queue = std::make_shared<ManualTaskQueue>();
    RemoteControl control({[&] { return now; }, [&] { return 1700000000.0 + now; }}, queue);
    std::vector<std::string> lifted, events;
    control.liftHeldButtons = [&](const std::string& why) { lifted.push_back(why); };
    control.postEvent = [&](const std::string& line) { events.push_back(line); };
    LogCapture log;
    const RemoteControl::Device a{"phone-a-01", "A"}, b{"phone-b-01", "B"};
    auto refusal = [&](const std::optional<RemoteControl::Device>& who) -> std::string {
        try {
            control.admitInput(who);
        } catch (const ControlRefused& e) {
            return std::string(e.what()) + (e.holder ? " [" + e.holder->id + "]" : "");
        }
        return "admitted";
    };

    EXPECT_EQ(refusal(std::nullopt), "admitted");
    EXPECT_EQ(refusal(a), "take control of the screen first (POST /control)");
    control.take(a);
    EXPECT_EQ(refusal(a), "admitted");
    EXPECT_EQ(refusal(b), "A controls the screen [phone-a-01]");
    EXPECT_EQ(refusal(std::nullopt), "A controls the screen [phone-a-01]");
    EXPECT_EQ(control.json(), (nlohmann::json{{"controller", "remote"},
                                              {"since", 1700000000000},
                                              {"device", {{"id", "phone-a-01"}, {"name", "A"}}}}));
    now = 5;
    control.take(a);     // again: same since, no event
    control.release(b);  // not the holder: nothing
    EXPECT_EQ(control.holder()->since, 1700000000.0);
    EXPECT_EQ(events.size(), 1u);

    // Ten minutes after A's last admitted input, control is free again.
    now = 100;
    EXPECT_EQ(refusal(a), "admitted");
    now = 699;
    queue->fireTimer();
    EXPECT_TRUE(control.holder());
    now = 700;
    queue->fireTimer();
    EXPECT_FALSE(control.holder());
    EXPECT_EQ(events.back(), "{\"control\":{\"controller\":\"none\"},\"type\":\"control\"}\n");
    EXPECT_EQ(lifted, (std::vector<std::string>{"control taken by A", "control idle for 10 min"}));
    EXPECT_EQ(log.lines().back(), "remote: control idle for 10 min");

    control.take(a);
    control.take(b);
    control.deviceRemoved("phone-b-01");
    EXPECT_FALSE(control.holder());
    EXPECT_EQ(lifted.back(), "the controlling device was removed");
}

namespace {

// A listener that records what remote access asked of it.
struct FakeListener : SecureListener {
    struct Shared {
        int failuresLeft = 0;
        std::vector<uint16_t> ports;
        int stops = 0;
        Handlers handlers;
    };
    explicit FakeListener(std::shared_ptr<Shared> shared) : shared(std::move(shared)) {}
    uint16_t start(uint16_t port, const TLSIdentity&, Handlers handlers) override {
        shared->ports.push_back(port);
        if (shared->failuresLeft > 0 && shared->failuresLeft--) throw std::runtime_error("Address already in use");
        shared->handlers = std::move(handlers);
        return port == 0 ? 50000 : port;
    }
    void stop() override { ++shared->stops; }
    std::shared_ptr<Shared> shared;
};

// Records pairing notices; `remove` of the latest is what a "Remove" press calls.
struct FakeNotifier : PairingNotifier {
    struct Shared {
        std::vector<std::string> notices;
        std::function<void()> remove;
    };
    explicit FakeNotifier(std::shared_ptr<Shared> shared) : shared(std::move(shared)) {}
    void devicePaired(const std::string& name, const std::string& description, std::function<void()> remove) override {
        shared->notices.push_back(name + ": " + description);
        shared->remove = std::move(remove);
    }
    std::shared_ptr<Shared> shared;
};

struct Remote {
    TempDir home;
    std::unique_ptr<Crypto> crypto = makeOpenSSLCrypto();
    double now = 0;
    std::shared_ptr<ManualTaskQueue> queue = std::make_shared<ManualTaskQueue>();
    std::shared_ptr<FakeListener::Shared> listener = std::make_shared<FakeListener::Shared>();
    std::shared_ptr<FakeNotifier::Shared> notices = std::make_shared<FakeNotifier::Shared>();
    RemoteControl control{{[this] { return now; }, [this] { return now; }}, std::make_shared<ManualTaskQueue>()};
    std::unique_ptr<RemoteAccess> access;

    Remote() {
        access = std::make_unique<RemoteAccess>(RemoteAccess::Dependencies{
            home.path(), *crypto, control, [this] { return std::make_unique<FakeListener>(listener); }, nullptr, queue,
            [this] { return now; }, [this] { return 1800000000.0 + now; },
            [] { return std::vector<std::string>{"192.0.2.7"}; }, std::make_unique<FakeNotifier>(notices)});
        access->start();
    }
    // One tick of the remote queue after its jobs: what a second brings.
    void settle() {
        queue->runJobs();
        queue->fireTimer();
    }
    std::string pairDevice(const std::string& id) {
        access->startPairing();
        return access->pair(access->devices().pairingCode()->code, id, id, "192.0.2.7").token;
    }
};

}  // namespace

TEST(RemoteAccess, ListensWhileUsefulAndRetriesItsPort) {
    Remote r;
    r.settle();
    EXPECT_TRUE(r.listener->ports.empty());  // nothing paired, no code: no listener

    r.listener->failuresLeft = 7;
    r.access->startPairing();
    for (int second = 0; second < 8; ++second) {
        r.now += 1;
        r.settle();
    }
    // Six tries on the saved port, then any port, which is saved.
    EXPECT_EQ(r.listener->ports, (std::vector<uint16_t>{47820, 47820, 47820, 47820, 47820, 47820, 0, 0}));
    EXPECT_EQ(r.access->json()["port"], 50000);
    EXPECT_EQ(RemoteSettings::load(r.home.path() + "/remote.json", *r.crypto).port, 50000);

    std::string token = r.access->pair(r.access->devices().pairingCode()->code, "phone-0001", "P", "192.0.2.7").token;
    EXPECT_EQ(r.access->json()["pairing"], nullptr);
    // The last device removed: the listener lingers 120 s for a new pairing, then stops.
    r.access->removeDevice("phone-0001");
    r.now += 119;
    r.settle();
    EXPECT_EQ(r.listener->stops, 0);
    r.now += 1;
    r.settle();
    EXPECT_EQ(r.listener->stops, 1);
    EXPECT_EQ(r.access->json()["listening"], false);
}

TEST(RemoteAccess, UnboundConnectionsAreEvictedOldestFirstAndNeverLockPhonesOut) {
    Remote r;
    r.pairDevice("phone-aaaa");
    r.settle();
    auto& admit = r.listener->handlers.admit;
    ASSERT_TRUE(admit);
    std::vector<std::string> ended;
    auto connect = [&](const std::string& peer, const std::string& name) {
        return admit(peer, [&ended, name] { ended.push_back(name); });
    };
    // Two unbound connections per address: a third evicts that address's oldest.
    auto a1 = connect("192.0.2.1", "a1");
    connect("192.0.2.1", "a2");
    connect("192.0.2.1", "a3");
    EXPECT_EQ(ended, std::vector<std::string>{"a1"});
    r.access->closed(*a1);  // its thread's report after eviction changes nothing
    // Four unbound in all: a fifth evicts the oldest of anybody's.
    connect("192.0.2.2", "b1");
    connect("192.0.2.3", "c1");
    connect("192.0.2.4", "d1");
    EXPECT_EQ(ended, (std::vector<std::string>{"a1", "a2"}));
    // A connection answering a request (a browser loading the page's files) goes after an
    // idle one, even when it is older.
    auto e1 = connect("192.0.2.6", "e1");
    connect("192.0.2.6", "e2");
    r.access->answering(*e1, true);
    connect("192.0.2.6", "e3");
    EXPECT_EQ(ended.back(), "e2");

    // A phone's connection is never evicted once bound, however many strangers come.
    auto phone = connect("192.0.2.9", "phone");
    ASSERT_TRUE(phone);
    EXPECT_TRUE(r.access->attach(*phone, [&] { ended.push_back("phone"); }));
    RemoteDevice device = r.access->devices().list().front();
    EXPECT_TRUE(r.access->bind(*phone, device));
    for (int i = 0; i < 40; ++i) ASSERT_TRUE(connect("198.51.100." + std::to_string(i), "stranger"));
    EXPECT_EQ(std::count(ended.begin(), ended.end(), "phone"), 0);
    // An evicted connection that finishes its handshake is told to close.
    EXPECT_FALSE(r.access->attach(*a1, [] {}));

    // Only when every connection is bound is a newcomer refused.
    std::vector<uint64_t> bound{*phone};
    while (bound.size() < RemoteAccess::maxConnections) {
        auto id = connect("192.0.2.9", "more");
        ASSERT_TRUE(id);
        ASSERT_TRUE(r.access->bind(*id, device));
        bound.push_back(*id);
    }
    EXPECT_FALSE(connect("192.0.2.5", "late"));
    for (uint64_t id : bound) r.access->closed(id);
}

TEST(RemoteAccess, LimitsBindingAndAuthentication) {
    Remote r;
    std::string a = r.pairDevice("phone-aaaa"), b = r.pairDevice("phone-bbbb");
    r.settle();
    auto devices = r.access->devices().list();
    ASSERT_EQ(devices.size(), 2u);

    // A connection stays with the device (and the token) it was bound with.
    int ended = 0;
    uint64_t id = *r.listener->handlers.admit("192.0.2.9", [&] { ++ended; });
    EXPECT_TRUE(r.access->bind(id, devices[0]));
    EXPECT_FALSE(r.access->bind(id, devices[1]));

    // Unknown tokens are logged at most every 10 s, never the token itself.
    LogCapture log;
    EXPECT_EQ(r.access->authenticate("Bearer " + a, "GET", "/status", "p")->id, "phone-aaaa");
    EXPECT_EQ(r.access->authenticate("bearer  " + b + " ", "GET", "/status", "p")->id, "phone-bbbb");
    for (int i = 0; i < 20; ++i) EXPECT_FALSE(r.access->authenticate("Bearer secret-guess", "GET", "/frame", "peer"));
    EXPECT_FALSE(r.access->authenticate(std::nullopt, "GET", "/frame", "peer"));
    r.now += 10;
    EXPECT_FALSE(r.access->authenticate(std::nullopt, "POST", "/input", "peer"));
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"remote: 401 GET /frame from peer: unknown token",
                                                     "remote: 401 POST /input from peer: no token"}));

    // Removing a device ends its connections at once and takes control back from it.
    r.control.take({"phone-aaaa", "A"});
    r.access->removeDevice("phone-aaaa");
    EXPECT_EQ(ended, 1);
    EXPECT_FALSE(r.control.holder());
    EXPECT_FALSE(r.access->authenticate("Bearer " + a, "GET", "/status", "p"));
    r.access->closed(id);  // as its request loop would

    // Re-pairing a device ends the connections bound with its old token.
    uint64_t old = *r.listener->handlers.admit("192.0.2.9", [&] { ++ended; });
    EXPECT_TRUE(r.access->bind(old, *r.access->authenticate("Bearer " + b, "GET", "/status", "p")));
    std::string fresh = r.pairDevice("phone-bbbb");
    EXPECT_EQ(ended, 2);
    EXPECT_FALSE(r.access->authenticate("Bearer " + b, "GET", "/status", "p"));
    EXPECT_TRUE(r.access->authenticate("Bearer " + fresh, "GET", "/status", "p"));
    r.access->closed(old);
}

TEST(RemoteAccess, PermissionsAreKeptAndTakeEffectAtOnce) {
    Remote r;
    r.pairDevice("phone-aaaa");
    r.settle();
    // Pairing is announced with what the device may do, and the notice can remove it.
    EXPECT_EQ(r.notices->notices, std::vector<std::string>{"phone-aaaa: It can see the screen, control it, use the "
                                                           "clipboard and hear the sound. Not yours? Remove it."});
    int ended = 0;
    uint64_t id = *r.listener->handlers.admit("192.0.2.9", [&] { ++ended; });
    EXPECT_TRUE(r.access->bind(id, r.access->devices().list()[0]));
    r.control.take({"phone-aaaa", "A"});

    // View only: its connections end (it reconnects under the new rules) and control is free.
    EXPECT_TRUE(r.access->setPermissions("phone-aaaa", {false, false, true}));
    EXPECT_EQ(ended, 1);
    EXPECT_FALSE(r.control.holder());
    EXPECT_FALSE(r.access->setPermissions("phone-none", {}));
    r.access->closed(id);

    // Kept in the file, and across pairing the same device again.
    RemoteDevices reloaded(r.home.path() + "/devices.json", *r.crypto, [] { return 0.0; });
    EXPECT_EQ(reloaded.list()[0].permissions, (DevicePermissions{false, false, true}));
    r.pairDevice("phone-aaaa");
    EXPECT_EQ(r.access->devices().list()[0].permissions, (DevicePermissions{false, false, true}));
    EXPECT_EQ(r.notices->notices.back(), "phone-aaaa: It can see the screen and hear the sound. Not yours? Remove it.");
    EXPECT_EQ(r.access->json()["devices"][0]["permissions"],
              (nlohmann::json{{"control", false}, {"clipboard", false}, {"audio", true}}));

    r.notices->remove();
    EXPECT_TRUE(r.access->devices().isEmpty());
}

TEST(RemoteAccess, WrongPairingCodesSlowTheirOwnAddressOnly) {
    Remote r;
    r.access->startPairing();
    const std::string code = r.access->devices().pairingCode()->code;
    LogCapture log;
    auto attempt = [&](const std::string& given, const std::string& peer) -> std::string {
        try {
            r.access->pair(given, "phone-0001", "P", peer);
            return "paired";
        } catch (const PairingBackOff& e) {
            return e.what();
        } catch (const PairError&) {
            return "wrong";
        }
    };
    for (int i = 0; i < PairingGuard::freeWrongCodes; ++i) EXPECT_EQ(attempt("guess", "192.0.2.66"), "wrong");
    EXPECT_EQ(attempt(code, "192.0.2.66"), "too many wrong pairing codes from this address; try again in 1 s");
    r.now += 1;
    EXPECT_EQ(attempt("guess", "192.0.2.66"), "wrong");  // and now 2 s
    r.now += 1.5;
    EXPECT_EQ(attempt("guess", "192.0.2.66"), "too many wrong pairing codes from this address; try again in 1 s");
    // One line per 10 s, however many codes come.
    EXPECT_EQ(log.lines(), std::vector<std::string>{"remote: a wrong or expired pairing code from 192.0.2.66"});
    // Everybody else still pairs with the live code.
    EXPECT_EQ(attempt(code, "192.0.2.7"), "paired");
}
