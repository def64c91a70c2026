#include "cursor/PointerTracker.h"

#include "base/Mutex.h"
#include "cursor/CursorArrow.h"

#include <algorithm>
#include <cmath>
#include <random>

namespace tovo {

CursorShapeIDs::CursorShapeIDs() : next(1000000 + 1000 * static_cast<int64_t>(std::random_device{}() % 1000)) {}

int64_t CursorShapeIDs::id(uint64_t key) {
    MutexLock guard(lock);
    if (auto it = ids.find(key); it != ids.end()) return it->second;
    if (ids.size() >= 1024) ids.clear();
    return ids[key] = ++next;
}

DisplayPointerTracker::DisplayPointerTracker(uint32_t display, std::function<std::optional<PointerBounds>()> bounds,
                                             PointerProbe& probe, CursorShapeIDs& shapeIDs,
                                             std::shared_ptr<TaskQueue> queue)
    : display(display), bounds(std::move(bounds)), probe(probe), shapeIDs(shapeIDs), queue(std::move(queue)) {}

DisplayPointerTracker::~DisplayPointerTracker() { stop(); }

void DisplayPointerTracker::start() {
    sample(true);
    queue->startTimer(pollInterval, [this] {
        int tick;
        {
            MutexLock guard(lock);
            tick = ++ticks;
        }
        sample(tick % shapeEvery == 0);
    });
}

void DisplayPointerTracker::stop() { queue->stopTimer(); }

void DisplayPointerTracker::sample(bool withShape) {
    std::optional<PointerBounds> area = bounds();
    std::optional<PointerProbe::Point> location = probe.location();
    std::optional<SystemCursorImage> image;
    std::optional<ClientCursorShape> arrow;
    if (withShape) {
        image = probe.cursorImage();
        if (!image && area) arrow = builtinArrow(area->width, area->height);
    }
    bool changed = false;
    std::function<void()> hook;
    {
        MutexLock guard(lock);
        hook = onChange;
        ClientCursor before = cursor;
        if (location && area && (!lastLocation || lastLocation->x != location->x || lastLocation->y != location->y)) {
            lastLocation = location;
            double x = 0, y = 0;
            bool on = false;
            if (area->width > 0 && area->height > 0) {
                x = std::clamp((location->x - area->x) / area->width, 0.0, 1.0);
                y = std::clamp((location->y - area->y) / area->height, 0.0, 1.0);
                on = location->x >= area->x && location->x < area->x + area->width && location->y >= area->y &&
                     location->y < area->y + area->height;
            }
            bool jitter = cursor.visible && on && std::fabs(x - cursor.x) * area->width < 1.5 &&
                          std::fabs(y - cursor.y) * area->height < 1.5;
            if (!jitter) {
                cursor.x = x;
                cursor.y = y;
                cursor.visible = on;
            }
        }
        if (image && area) {
            int64_t id = shapeIDs.id(image->key);
            systemKeys.insert(image->key);
            if (!shapes.count(id)) {
                if (shapes.size() >= maxShapes) {
                    std::erase_if(shapes, [keep = cursor.shapeId](const auto& entry) { return entry.first != keep; });
                }
                if (area->width > 0 && area->height > 0) {
                    shapes[id] = ClientCursorShape{id,
                                                   image->png,
                                                   image->hotX / area->width,
                                                   image->hotY / area->height,
                                                   image->width / area->width,
                                                   image->height / area->height};
                }
            }
            if (shapes.count(id)) cursor.shapeId = id;
        } else if (arrow) {
            shapes[0] = *arrow;
            cursor.shapeId = 0;
        }
        changed = !(cursor == before);
    }
    if (changed && hook) hook();
}

std::pair<ClientCursor, std::optional<ClientCursorShape>> DisplayPointerTracker::current() {
    MutexLock guard(lock);
    auto it = shapes.find(cursor.shapeId);
    return {cursor, it == shapes.end() ? std::nullopt : std::optional<ClientCursorShape>(it->second)};
}

void DisplayPointerTracker::setOnChange(std::function<void()> hook) {
    MutexLock guard(lock);
    onChange = std::move(hook);
}

void DisplayPointerTracker::moveTo(double x, double y) {
    bool changed;
    std::function<void()> hook;
    {
        MutexLock guard(lock);
        hook = onChange;
        ClientCursor before = cursor;
        cursor.x = x;
        cursor.y = y;
        cursor.visible = true;
        changed = !(cursor == before);
    }
    if (changed && hook) hook();
}

size_t DisplayPointerTracker::systemShapes() {
    MutexLock guard(lock);
    return systemKeys.size();
}

void PointerTrackers::add(const std::shared_ptr<DisplayPointerTracker>& tracker) {
    MutexLock guard(lock);
    trackers[tracker.get()] = tracker;
}

void PointerTrackers::remove(const DisplayPointerTracker* tracker) {
    MutexLock guard(lock);
    trackers.erase(tracker);
}

bool PointerTrackers::anyRunning() {
    MutexLock guard(lock);
    return !trackers.empty();
}

void PointerTrackers::notePointerAt(double px, double py, uint32_t display) {
    std::vector<std::shared_ptr<DisplayPointerTracker>> live;
    {
        MutexLock guard(lock);
        for (auto& [key, weak] : trackers) {
            if (auto tracker = weak.lock(); tracker && tracker->display == display) live.push_back(tracker);
        }
    }
    for (auto& tracker : live) tracker->moveTo(px, py);
}

}  // namespace tovo
