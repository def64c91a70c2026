#pragma once

#include "base/Mutex.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace tovo {

// One connection its owner took on: what the connection's thread runs and how it is ended.
struct AcceptedConnection {
    // On the connection's own thread; returns when the connection is done.
    std::function<void()> serve;
    // Any thread, idempotent, safe after `serve` returned: makes `serve` return soon.
    std::function<void()> end;
    // True while the connection may give up its place to a newcomer (it waits for a
    // request and has read nothing of it). None: never.
    std::function<bool()> idle;
    // Called instead of `serve` when no thread could be started for it.
    std::function<void()> notStarted;
};

// Accepts on a listening socket on a thread of its own and serves each connection on a
// thread of its own, keeping the set of live ones: stop() ends them and joins every
// thread. Accept errors that leave accepting possible (an aborted connection, no
// descriptors or memory for the moment) are retried; any other ends the loop and is
// reported. At `maxConnections` a newcomer takes the place of the idle connection that
// has waited longest; when none is idle it is refused.
//
// Threads: start() and stop() from any thread (stop() also from a connection's own thread,
// which is then detached); the hooks run on the accept thread, under no lock.
class AcceptLoop {
public:
    struct Hooks {
        // The accepted socket, owned by the hook from now on: the connection, or none when
        // the hook refused it (and closed it).
        std::function<std::optional<AcceptedConnection>(int fd)> accept;
        // At the cap with no idle connection: answers `fd` and closes it.
        std::function<void(int fd)> refuse;
        // Accepting failed for good, with the reason (already logged).
        std::function<void(const std::string& reason)> failed;
    };

    // `listenFD` stays the caller's: stop() shuts it down to wake the accept, never closes it.
    AcceptLoop(std::string logPrefix, int listenFD, size_t maxConnections, Hooks hooks);
    ~AcceptLoop();
    AcceptLoop(const AcceptLoop&) = delete;
    AcceptLoop& operator=(const AcceptLoop&) = delete;

    // Starts the accept thread; once only, and never after stop().
    void start();
    // Stops accepting, ends the live connections and joins every thread. Idempotent.
    void stop();
    // Connections being served now.
    size_t liveConnections();

private:
    struct Live {
        std::thread thread;
        std::function<void()> end;
        std::function<bool()> idle;
        bool dropped = false;  // ended to make room; its thread is ending
    };

    void run();
    // Makes room for a newcomer when at the cap: false when there is none.
    bool makeRoom();
    void spawn(AcceptedConnection connection);
    // Joins the threads of connections that ended. Call without `lock`.
    void reapFinished();

    const std::string logPrefix;
    const int listenFD;
    const size_t maxConnections;
    const Hooks hooks;

    Mutex lock;  // guards every field below
    std::thread acceptThread TOVO_GUARDED_BY(lock);
    bool stopped TOVO_GUARDED_BY(lock) = false;  // no more connections are accepted
    uint64_t nextId TOVO_GUARDED_BY(lock) = 0;
    std::map<uint64_t, Live> live TOVO_GUARDED_BY(lock);      // in admission order
    std::vector<std::thread> finished TOVO_GUARDED_BY(lock);  // threads whose connection ended, to be joined
    bool fullLogged TOVO_GUARDED_BY(lock) = false;            // the cap was reached and said so
};

}  // namespace tovo
