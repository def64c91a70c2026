#include "base/AcceptLoop.h"

#include "base/Log.h"
#include "base/Mutex.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>

namespace tovo {
namespace {

// Errors after which accepting can go on: the connection that failed is gone, or the
// process is out of descriptors or memory for the moment. Giving up the listener for
// those would turn a burst of clients into a dead service.
bool isTransientAcceptError(int error) {
    switch (error) {
    case EINTR:
    case ECONNABORTED:
    case EPROTO:
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM: return true;
    default: return false;
    }
}

bool isResourceShortage(int error) { return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM; }

void joinUnlessSelf(std::thread& thread) {
    if (!thread.joinable()) return;
    if (thread.get_id() == std::this_thread::get_id()) {
        thread.detach();
    } else {
        thread.join();
    }
}

}  // namespace

AcceptLoop::AcceptLoop(std::string logPrefix, int listenFD, size_t maxConnections, Hooks hooks)
    : logPrefix(std::move(logPrefix)), listenFD(listenFD), maxConnections(maxConnections), hooks(std::move(hooks)) {}

AcceptLoop::~AcceptLoop() { stop(); }

void AcceptLoop::start() {
    MutexLock guard(lock);
    if (acceptThread.joinable() || stopped) return;
    acceptThread = std::thread([this] { run(); });
}

void AcceptLoop::stop() {
    std::thread accepting;
    {
        MutexLock guard(lock);
        if (!stopped) {
            stopped = true;
            // shutdown wakes an accept in progress; the owner closes the descriptor later,
            // so that its number cannot be reused under accept.
            ::shutdown(listenFD, SHUT_RDWR);
        }
        accepting = std::move(acceptThread);
    }
    // Once the accept thread is gone no connection is admitted, so the set below is final.
    joinUnlessSelf(accepting);

    std::vector<std::function<void()>> ends;
    std::vector<std::thread> threads;
    {
        MutexLock guard(lock);
        for (auto& [id, entry] : live) {
            ends.push_back(entry.end);
            threads.push_back(std::move(entry.thread));
        }
        for (auto& thread : finished) threads.push_back(std::move(thread));
        finished.clear();
    }
    for (auto& end : ends) end();
    for (auto& thread : threads) joinUnlessSelf(thread);
}

size_t AcceptLoop::liveConnections() {
    MutexLock guard(lock);
    return live.size();
}

void AcceptLoop::reapFinished() {
    std::vector<std::thread> threads;
    {
        MutexLock guard(lock);
        threads.swap(finished);
    }
    for (auto& thread : threads) joinUnlessSelf(thread);
}

void AcceptLoop::run() {
    bool shortageLogged = false;
    std::string fatal;
    for (;;) {
        int fd = ::accept4(listenFD, nullptr, nullptr, SOCK_CLOEXEC);
        int error = errno;
        bool isStopped;
        {
            MutexLock guard(lock);
            isStopped = stopped;
        }
        if (fd < 0) {
            if (isStopped) return;
            if (isTransientAcceptError(error)) {
                if (isResourceShortage(error)) {
                    if (!shortageLogged) log(logPrefix + "accept failed: " + std::strerror(error) + "; retrying");
                    shortageLogged = true;
                    reapFinished();
                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
                }
                continue;
            }
            fatal = logPrefix + "accept failed: " + std::strerror(error);
            break;
        }
        if (isStopped) {
            ::close(fd);
            return;
        }
        shortageLogged = false;
        reapFinished();
        if (!makeRoom()) {
            hooks.refuse(fd);
            continue;
        }
        if (auto connection = hooks.accept(fd)) spawn(std::move(*connection));
    }
    log(fatal);
    {
        MutexLock guard(lock);
        stopped = true;
    }
    if (hooks.failed) hooks.failed(fatal);
}

bool AcceptLoop::makeRoom() {
    std::function<void()> drop;
    size_t count = 0;
    bool logFull;
    {
        MutexLock guard(lock);
        for (const auto& [id, entry] : live) count += !entry.dropped;
        if (count >= maxConnections) {
            // The map runs in admission order: the first idle one has waited longest.
            for (auto& [id, entry] : live) {
                if (!entry.dropped && entry.idle && entry.idle()) {
                    entry.dropped = true;
                    drop = entry.end;
                    break;
                }
            }
        }
        logFull = count >= maxConnections && !fullLogged;
        fullLogged = count >= maxConnections;
    }
    if (logFull) {
        log(logPrefix + "too many connections (" + std::to_string(count) + "); " +
            (drop ? "dropping the longest idle ones for newcomers" : "refusing new ones"));
    }
    if (drop) drop();
    return count < maxConnections || drop;
}

void AcceptLoop::spawn(AcceptedConnection connection) {
    try {
        MutexLock guard(lock);
        uint64_t id = ++nextId;
        // The thread files itself under `finished` when it is done; it cannot get the lock
        // before its entry exists, since the entry is made under the same lock.
        std::thread thread([this, id, serve = connection.serve] {
            serve();
            MutexLock done(lock);
            auto it = live.find(id);
            if (it == live.end()) return;
            finished.push_back(std::move(it->second.thread));
            live.erase(it);
        });
        live[id] = Live{std::move(thread), connection.end, connection.idle};
        return;
    } catch (const std::system_error& e) {
        log(logPrefix + "cannot start a connection thread: " + e.what());
    }
    connection.end();
    if (connection.notStarted) connection.notStarted();
}

}  // namespace tovo
