#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <vector>

namespace tovo {

// What a streaming client says about its network. Every field optional.
struct StreamNetReport {
    std::optional<std::string> route;  // "lan", "tunnel"
    std::optional<std::string> iface;  // "wifi", "cellular", "wired", "other"
    std::optional<std::string> radio;  // "5g", "lte", "3g", "other"
    std::optional<bool> expensive;
    std::optional<bool> constrained;
    std::optional<double> inputRttP50Ms;
    std::optional<double> inputRttP90Ms;
    std::optional<int64_t> inputRttSamples;
    std::optional<double> rxKbps;
    std::optional<int64_t> failures;

    // Lenient: a field of the wrong type or out of range is left out; no value for a
    // non-object.
    static std::optional<StreamNetReport> parse(const nlohmann::json& json);
};

// How the client's audio playback is doing. Every field optional.
struct StreamAudioReport {
    std::optional<double> outputMs, ioMs;
    std::optional<bool> bluetooth;
    std::optional<double> depthMs, bufferedMs, addedMs, skewMs, floorMs;
    std::optional<int64_t> underruns, late, concealed, cuts;
    std::optional<double> stretchMs, kbps;

    static std::optional<StreamAudioReport> parse(const nlohmann::json& json);
    // The counters (underruns, late, concealed, cuts, stretchMs) add up; every other field
    // takes `newer`'s value.
    StreamAudioReport merged(const StreamAudioReport& newer) const;
    std::string compactLine() const;
};

// A client's playout report, attached to an acknowledgement.
struct StreamPlayoutReport {
    std::optional<std::string> mode;  // "smooth", "latency"
    std::optional<double> fps, gapP50Ms, gapP90Ms, arrivalGapP50Ms, arrivalGapP90Ms, hitchesPerSec, bufferMs,
        droppedPerSec, decodeMs, refreshHz, paceMs, bufferCapMs, stall150PerSec, stall300PerSec, jitterP95Ms,
        touchBufferMs;
    std::optional<StreamNetReport> net;
    std::optional<StreamAudioReport> audio;

    static std::optional<StreamPlayoutReport> parse(const nlohmann::json& json);
    std::string compactLine() const;
};

// Acknowledgement round trips of a span, in milliseconds.
struct StreamRTTSummary {
    double minMs = 0, p50Ms = 0, p90Ms = 0;
    int samples = 0;

    // Nearest-rank percentiles of `rttsMs`; no value when it is empty.
    static std::optional<StreamRTTSummary> of(std::vector<double> rttsMs);
};

struct StreamNetQuality {
    enum class Grade { good, fair, poor, unknown };
    Grade grade = Grade::unknown;
    std::optional<StreamRTTSummary> rtt;  // when graded from acknowledgements
    std::optional<double> jitterMs;
    std::vector<std::string> reasons;
    bool byInput = false;  // graded from the client's input round trips

    static StreamNetQuality graded(const std::optional<StreamRTTSummary>& acks,
                                   const std::optional<StreamNetReport>& client);
    nlohmann::json json() const;
    std::string line(const std::optional<StreamNetReport>& client) const;
};

const char* toString(StreamNetQuality::Grade grade);

}  // namespace tovo
