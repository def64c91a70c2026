#include "video/StreamReports.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace tovo {
namespace {

using json = nlohmann::json;

// A finite number in [low, high] (booleans are not numbers).
std::optional<double> number(const json& object, const char* key, double low = 0, double high = INFINITY) {
    auto it = object.find(key);
    if (it == object.end() || !it->is_number()) return std::nullopt;
    double v = it->get<double>();
    if (!std::isfinite(v) || v < low || v > high) return std::nullopt;
    return v;
}

std::optional<int64_t> integer(const json& object, const char* key, double high = 9e15) {
    auto v = number(object, key, 0, high);
    if (!v || std::floor(*v) != *v) return std::nullopt;
    return static_cast<int64_t>(*v);
}

std::optional<bool> boolean(const json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end() || !it->is_boolean()) return std::nullopt;
    return it->get<bool>();
}

std::optional<std::string> word(const json& object, const char* key, std::initializer_list<const char*> words) {
    auto it = object.find(key);
    if (it == object.end() || !it->is_string()) return std::nullopt;
    auto text = it->get<std::string>();
    for (const char* w : words) {
        if (text == w) return text;
    }
    return std::nullopt;
}

std::string format(const char* pattern, double value) {
    char text[64];
    std::snprintf(text, sizeof(text), pattern, value);
    return text;
}

// " key value" pieces for the fields that are present.
struct Pieces {
    std::string text;
    void add(const char* name, const std::optional<double>& v, const char* pattern = "%.0f") {
        if (v) text += std::string(text.empty() ? "" : " ") + name + " " + format(pattern, *v);
    }
    void add(const char* name, const std::optional<int64_t>& v) {
        if (v) text += std::string(text.empty() ? "" : " ") + name + " " + std::to_string(*v);
    }
    void add(const char* name, const std::optional<std::string>& v) {
        if (v) text += std::string(text.empty() ? "" : " ") + name + " " + *v;
    }
};

double round1(double v) { return std::round(v * 10) / 10; }

}  // namespace

std::optional<StreamNetReport> StreamNetReport::parse(const json& j) {
    if (!j.is_object()) return std::nullopt;
    StreamNetReport r;
    r.route = word(j, "route", {"lan", "tunnel"});
    r.iface = word(j, "iface", {"wifi", "cellular", "wired", "other"});
    r.radio = word(j, "radio", {"5g", "lte", "3g", "other"});
    r.expensive = boolean(j, "expensive");
    r.constrained = boolean(j, "constrained");
    if (auto it = j.find("inputRttMs"); it != j.end() && it->is_object()) {
        r.inputRttP50Ms = number(*it, "p50");
        r.inputRttP90Ms = number(*it, "p90");
        r.inputRttSamples = integer(*it, "n");
    }
    r.rxKbps = number(j, "rxKbps");
    r.failures = integer(j, "failures");
    return r;
}

std::optional<StreamAudioReport> StreamAudioReport::parse(const json& j) {
    if (!j.is_object()) return std::nullopt;
    StreamAudioReport r;
    r.outputMs = number(j, "outputMs", 0, 1000);
    r.ioMs = number(j, "ioMs", 0, 200);
    r.bluetooth = boolean(j, "bluetooth");
    r.depthMs = number(j, "depthMs", 0, 3000);
    r.bufferedMs = number(j, "bufferedMs", 0, 3000);
    r.addedMs = number(j, "addedMs", 0, 5000);
    r.skewMs = number(j, "skewMs", -3000, 3000);
    r.floorMs = number(j, "floorMs", 0, 1000);
    r.underruns = integer(j, "underruns", 100000);
    r.late = integer(j, "late", 100000);
    r.concealed = integer(j, "concealed", 100000);
    r.cuts = integer(j, "cuts", 100000);
    r.stretchMs = number(j, "stretchMs", -60000, 60000);
    r.kbps = number(j, "kbps", 0, 100000);
    return r;
}

StreamAudioReport StreamAudioReport::merged(const StreamAudioReport& newer) const {
    auto sum = [](const auto& a, const auto& b) -> std::decay_t<decltype(a)> {
        if (!a && !b) return std::nullopt;
        return a.value_or(0) + b.value_or(0);
    };
    StreamAudioReport out = newer;
    out.underruns = sum(underruns, newer.underruns);
    out.late = sum(late, newer.late);
    out.concealed = sum(concealed, newer.concealed);
    out.cuts = sum(cuts, newer.cuts);
    out.stretchMs = sum(stretchMs, newer.stretchMs);
    return out;
}

std::string StreamAudioReport::compactLine() const {
    Pieces p;
    p.add("out", outputMs);
    p.add("io", ioMs);
    if (bluetooth && *bluetooth) p.text += std::string(p.text.empty() ? "" : " ") + "bt";
    p.add("depth", depthMs);
    p.add("buf", bufferedMs);
    p.add("added", addedMs);
    p.add("skew", skewMs);
    p.add("floor", floorMs);
    p.add("underruns", underruns);
    p.add("late", late);
    p.add("concealed", concealed);
    p.add("cuts", cuts);
    p.add("stretch", stretchMs);
    p.add("kbps", kbps);
    return "audio " + p.text;
}

std::optional<StreamPlayoutReport> StreamPlayoutReport::parse(const json& j) {
    if (!j.is_object()) return std::nullopt;
    StreamPlayoutReport r;
    r.mode = word(j, "mode", {"smooth", "latency"});
    std::pair<const char*, std::optional<double>*> fields[] = {{"fps", &r.fps},
                                                               {"gapP50Ms", &r.gapP50Ms},
                                                               {"gapP90Ms", &r.gapP90Ms},
                                                               {"arrivalGapP50Ms", &r.arrivalGapP50Ms},
                                                               {"arrivalGapP90Ms", &r.arrivalGapP90Ms},
                                                               {"hitchesPerSec", &r.hitchesPerSec},
                                                               {"bufferMs", &r.bufferMs},
                                                               {"droppedPerSec", &r.droppedPerSec},
                                                               {"decodeMs", &r.decodeMs},
                                                               {"refreshHz", &r.refreshHz},
                                                               {"paceMs", &r.paceMs},
                                                               {"bufferCapMs", &r.bufferCapMs},
                                                               {"stall150PerSec", &r.stall150PerSec},
                                                               {"stall300PerSec", &r.stall300PerSec},
                                                               {"jitterP95Ms", &r.jitterP95Ms},
                                                               {"touchBufferMs", &r.touchBufferMs}};
    for (auto& [key, field] : fields) *field = number(j, key);
    if (auto it = j.find("net"); it != j.end()) r.net = StreamNetReport::parse(*it);
    if (auto it = j.find("audio"); it != j.end()) r.audio = StreamAudioReport::parse(*it);
    return r;
}

std::string StreamPlayoutReport::compactLine() const {
    Pieces p;
    p.add("mode", mode);
    p.add("fps", fps, "%.1f");
    if (gapP50Ms || gapP90Ms) {
        p.text += std::string(p.text.empty() ? "" : " ") + "gap " + format("%.0f", gapP50Ms.value_or(0)) + "/" +
                  format("%.0f", gapP90Ms.value_or(0));
    }
    if (arrivalGapP50Ms || arrivalGapP90Ms) {
        p.text += std::string(p.text.empty() ? "" : " ") + "arrival " + format("%.0f", arrivalGapP50Ms.value_or(0)) +
                  "/" + format("%.0f", arrivalGapP90Ms.value_or(0));
    }
    p.add("hitches/s", hitchesPerSec, "%.2f");
    p.add("buffer", bufferMs);
    p.add("dropped/s", droppedPerSec, "%.2f");
    p.add("decode", decodeMs, "%.1f");
    p.add("refresh", refreshHz);
    p.add("pace", paceMs, "%.1f");
    p.add("cap", bufferCapMs);
    p.add("stall150/s", stall150PerSec, "%.2f");
    p.add("stall300/s", stall300PerSec, "%.2f");
    p.add("jitter95", jitterP95Ms);
    p.add("touch", touchBufferMs);
    return p.text;
}

std::optional<StreamRTTSummary> StreamRTTSummary::of(std::vector<double> rtts) {
    if (rtts.empty()) return std::nullopt;
    std::sort(rtts.begin(), rtts.end());
    auto n = static_cast<int>(rtts.size());
    auto rank = [&](double q) { return rtts[std::clamp(static_cast<int>(std::ceil(q * n)) - 1, 0, n - 1)]; };
    return StreamRTTSummary{rtts.front(), rank(0.5), rank(0.9), n};
}

const char* toString(StreamNetQuality::Grade grade) {
    switch (grade) {
    case StreamNetQuality::Grade::good: return "good";
    case StreamNetQuality::Grade::fair: return "fair";
    case StreamNetQuality::Grade::poor: return "poor";
    case StreamNetQuality::Grade::unknown: break;
    }
    return "unknown";
}

StreamNetQuality StreamNetQuality::graded(const std::optional<StreamRTTSummary>& acks,
                                          const std::optional<StreamNetReport>& client) {
    using Grade = StreamNetQuality::Grade;
    StreamNetQuality q;
    std::optional<double> rtt;
    if (acks && acks->samples >= 5) {
        q.rtt = acks;
        rtt = acks->p90Ms;
        q.jitterMs = acks->p90Ms - acks->minMs;
    } else if (client && client->inputRttSamples.value_or(0) >= 5 && client->inputRttP90Ms) {
        rtt = client->inputRttP90Ms;
        if (client->inputRttP50Ms) q.jitterMs = std::max(0.0, *client->inputRttP90Ms - *client->inputRttP50Ms);
        q.byInput = true;
    }
    int64_t failures = client ? client->failures.value_or(0) : 0;

    if (!rtt) {
        if (failures >= 1) {
            q.grade = failures >= 3 ? Grade::poor : Grade::fair;
            q.reasons = {"failures", "few-samples"};
        } else {
            q.reasons = {"few-samples"};
        }
        return q;
    }
    double jitter = q.jitterMs.value_or(0);
    if (failures >= 3 || jitter > 80 || *rtt > 250) {
        q.grade = Grade::poor;
    } else if (failures >= 1 || jitter > 30 || *rtt > 100) {
        q.grade = Grade::fair;
    } else {
        q.grade = Grade::good;
    }
    bool poor = q.grade == Grade::poor;
    if (*rtt > (poor ? 250 : 100)) q.reasons.push_back("rtt");
    if (q.jitterMs && *q.jitterMs > (poor ? 80 : 30)) q.reasons.push_back("jitter");
    if (failures >= (poor ? 3 : 1)) q.reasons.push_back("failures");
    return q;
}

nlohmann::json StreamNetQuality::json() const {
    nlohmann::json out{{"grade", toString(grade)}, {"reasons", reasons}};
    if (rtt) out["rttMs"] = {{"min", round1(rtt->minMs)}, {"p50", round1(rtt->p50Ms)}, {"p90", round1(rtt->p90Ms)}};
    if (jitterMs) out["jitterMs"] = round1(*jitterMs);
    return out;
}

std::string StreamNetQuality::line(const std::optional<StreamNetReport>& client) const {
    std::string text = std::string("net ") + toString(grade);
    if (!reasons.empty() && grade != Grade::good) {
        text += " (";
        for (size_t i = 0; i < reasons.size(); ++i) text += (i ? ", " : "") + reasons[i];
        text += ")";
    }
    char buffer[96];
    if (rtt) {
        std::snprintf(buffer, sizeof(buffer), " rtt %.0f/%.0f/%.0f ms", rtt->minMs, rtt->p50Ms, rtt->p90Ms);
        text += buffer;
    }
    if (jitterMs) text += " jitter " + format("%.0f", *jitterMs) + " ms";
    if (byInput) text += " by input";
    if (client) {
        std::string path;
        for (const auto* part : {&client->route, &client->iface, &client->radio}) {
            if (*part) path += (path.empty() ? "" : "/") + **part;
        }
        if (!path.empty()) text += " " + path;
        if (client->constrained.value_or(false)) text += " low-data";
        if (client->inputRttP50Ms || client->inputRttP90Ms) {
            std::snprintf(buffer, sizeof(buffer), " input %.0f/%.0f ms (n %lld)", client->inputRttP50Ms.value_or(0),
                          client->inputRttP90Ms.value_or(0),
                          static_cast<long long>(client->inputRttSamples.value_or(0)));
            text += buffer;
        }
        if (client->rxKbps) text += " rx " + format("%.1f", *client->rxKbps / 1000) + " Mbps";
        if (client->failures) text += " failures " + std::to_string(*client->failures);
    }
    return text;
}

}  // namespace tovo
