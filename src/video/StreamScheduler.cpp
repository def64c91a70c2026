#include "video/StreamScheduler.h"

#include <algorithm>

namespace tovo {

StreamScheduler::StreamScheduler(StreamTuning tuning, double interval) : tuning(tuning), interval(interval) {}

StreamScheduler::Decision StreamScheduler::next(const Inputs& in, double now) const {
    using Kind = Decision::Kind;
    if (in.over || failuresInRow >= tuning.maxEncodeFailures) return {Kind::end};
    bool keyDue = forceKey || (in.keyRequested && now - lastKeyAt >= tuning.keyMinInterval);

    // The earliest moment something is due, for waiting.
    double deadline = anySent ? lastSend + tuning.keepalive : now + tuning.idleCheck;
    if (refinesLeft > 0) deadline = std::min(deadline, lastSend + tuning.refineIdle);
    if (in.keyRequested && !keyDue) deadline = std::min(deadline, lastKeyAt + tuning.keyMinInterval);
    if (in.stallDeadline) deadline = std::min(deadline, *in.stallDeadline);
    if (in.statsDue) deadline = std::min(deadline, *in.statsDue);

    if (!in.picture) return {Kind::wait, PictureKind::live, false, std::min(deadline, now + tuning.idleCheck)};
    if (*in.picture != lastPictureSent || keyDue) {
        if (now - lastEncodeStart < interval)
            return {Kind::pace, PictureKind::live, keyDue, lastEncodeStart + interval};
        return {Kind::send, PictureKind::live, keyDue, now};
    }
    if (refinesLeft > 0 && now - lastSend >= tuning.refineIdle) return {Kind::send, PictureKind::refine, false, now};
    if (now - lastSend >= tuning.keepalive) return {Kind::send, PictureKind::keepalive, false, now};
    return {Kind::wait, PictureKind::live, false, deadline};
}

void StreamScheduler::sent(PictureKind kind, bool key, uint64_t pictureSeq, double startedAt, double sentAt) {
    if (key) {
        forceKey = false;
        lastKeyAt = startedAt;
    }
    switch (kind) {
    case PictureKind::live:
        lastPictureSent = pictureSeq;
        refinesLeft = tuning.videoRefines;
        break;
    case PictureKind::refine: --refinesLeft; break;
    case PictureKind::keepalive: break;
    }
    failuresInRow = 0;
    anySent = true;
    lastSend = sentAt;
}

bool StreamScheduler::failed() {
    forceKey = true;
    return ++failuresInRow >= tuning.maxEncodeFailures;
}

}  // namespace tovo
