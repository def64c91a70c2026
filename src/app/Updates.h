#pragma once

#include "app/AppLoop.h"
#include "app/LogFile.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace tovo {

// A downloaded update waits for a quiet computer: nobody's phone connected or pairing and
// no automation running, for two minutes on end.
struct UpdateInstallGate {
    static constexpr double quietFor = 120.0;
    std::optional<double> quietSince;

    bool shouldInstall(bool busy, double now);
};

// Fetches a URL's body (http or https). Throws AppError.
using Downloader = std::function<std::string(const std::string& url)>;
// True when `signature` (64 bytes) is the Ed25519 signature of `data` by `publicKey` (32).
using SignatureCheck =
    std::function<bool(const std::string& data, const std::string& signature, const std::string& publicKey)>;

// Keeps the app up to date from a feed: a JSON object {"version", "url", "signature"} where
// the signature (base64) is Ed25519 over the release's bytes. The feed's "version" is not
// signed, so it only says whether to look: what counts is the version the release carries in
// its own signed bytes, which must be the offered one and later than the running one (an
// older signed release offered under a higher number, or one that would be fetched again
// after it relaunched, is refused). A newer release is downloaded and checked before
// anything is written, placed beside the executable, and moved over it only through the
// quiet gate; then the app relaunches.
//
// Threads: the loop's main thread; downloads run on `queue`.
class Updater {
public:
    struct Settings {
        std::string feed;        // empty: updates off
        std::string publicKey;   // raw 32 bytes
        std::string executable;  // the file replaced
        std::string currentVersion;
        // The version a release's bytes carry, or none.
        std::function<std::optional<std::string>(const std::string& release)> versionOf;
    };
    // `relaunch` quits the app and starts the new executable (the app's own shutdown).
    Updater(Settings settings, const LogFile& log, AppLoop& loop, std::shared_ptr<class TaskQueue> queue,
            Downloader download, SignatureCheck verify, std::function<void()> relaunch);
    ~Updater();

    // Logs "updates off (…)" without a feed; otherwise checks now and every 6 hours.
    void start();
    bool running() const { return on; }
    void checkNow();
    // Each service status change: installs a waiting update once the gate allows.
    void statusChanged(bool busy);

    // True when `candidate` is a later version than `current` (dotted numbers).
    static bool newer(const std::string& candidate, const std::string& current);
    const std::optional<std::string>& pendingVersion() const { return pending; }

private:
    void downloaded(const std::string& version, const std::string& staged);

    const Settings settings;
    const LogFile& log;
    AppLoop& loop;
    const std::shared_ptr<TaskQueue> queue;
    const Downloader download;
    const SignatureCheck verify;
    const std::function<void()> relaunch;
    bool on = false;
    bool checking = false;
    std::optional<AppLoop::TimerId> timer;
    std::optional<std::string> pending;  // version waiting to be installed
    std::string staged;                  // its file beside the executable
    UpdateInstallGate gate;
    std::shared_ptr<Updater*> self = std::make_shared<Updater*>(this);
};

}  // namespace tovo
