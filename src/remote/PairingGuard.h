#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>

namespace tovo {

// Wrong pairing codes counted per peer address, with a back-off. A 128-bit code cannot be
// guessed, so this guards against denial, not guessing: one address sending wrong codes is
// slowed down on its own, and nobody can end the live code for everybody else.
//
// Pure and clock-driven (seconds of a monotonic clock passed in); not thread-safe: its owner
// holds the lock that guards it.
class PairingGuard {
public:
    // Wrong codes an address may send before it must wait; then 1 s, doubling with each
    // further wrong code, up to `maxBackOff`.
    static constexpr int freeWrongCodes = 5;
    static constexpr double maxBackOff = 300;
    // An address that sent nothing wrong for this long starts afresh.
    static constexpr double forgetAfter = 900;
    static constexpr size_t maxPeers = 256;

    // Seconds `peer` must still wait before it may try a code, or none.
    std::optional<double> waitFor(const std::string& peer, double now) const;
    // A wrong code from `peer`: counts it and sets the next back-off.
    void wrong(const std::string& peer, double now);
    // A right code from `peer`: its count is cleared.
    void succeeded(const std::string& peer);

private:
    struct Record {
        int wrongCodes = 0;
        double lastWrongAt = 0;
        double blockedUntil = 0;
    };
    void forgetOld(double now);
    std::map<std::string, Record> peers;
};

}  // namespace tovo
