#include "remote/PairingGuard.h"

#include <algorithm>
#include <cmath>

namespace tovo {

std::optional<double> PairingGuard::waitFor(const std::string& peer, double now) const {
    auto it = peers.find(peer);
    if (it == peers.end() || it->second.blockedUntil <= now) return std::nullopt;
    return it->second.blockedUntil - now;
}

void PairingGuard::wrong(const std::string& peer, double now) {
    forgetOld(now);
    if (!peers.count(peer) && peers.size() >= maxPeers) {
        // Full: the address quiet the longest makes room.
        auto oldest = std::min_element(peers.begin(), peers.end(), [](const auto& a, const auto& b) {
            return a.second.lastWrongAt < b.second.lastWrongAt;
        });
        peers.erase(oldest);
    }
    Record& record = peers[peer];
    ++record.wrongCodes;
    record.lastWrongAt = now;
    if (record.wrongCodes >= freeWrongCodes) {
        const int steps = std::min(record.wrongCodes - freeWrongCodes, 16);
        record.blockedUntil = now + std::min(maxBackOff, std::ldexp(1.0, steps));
    }
}

void PairingGuard::succeeded(const std::string& peer) { peers.erase(peer); }

void PairingGuard::forgetOld(double now) {
    std::erase_if(peers, [&](const auto& entry) {
        return now - entry.second.lastWrongAt >= forgetAfter && entry.second.blockedUntil <= now;
    });
}

}  // namespace tovo
