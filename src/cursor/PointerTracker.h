#pragma once

#include "base/Mutex.h"
#include "base/TaskQueue.h"
#include "cursor/ClientCursor.h"

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

namespace tovo {

// The desktop's pointer: where it is and what it looks like. Callable from any thread.
class PointerProbe {
public:
    struct Point {
        double x = 0;
        double y = 0;
    };
    virtual ~PointerProbe() = default;
    // Global desktop pixels; none when the desktop cannot be asked.
    virtual std::optional<Point> location() = 0;
    // The current cursor image; none when it cannot be read.
    virtual std::optional<SystemCursorImage> cursorImage() = 0;
};

// Global desktop pixels of a display.
struct PointerBounds {
    double x = 0, y = 0, width = 0, height = 0;
};

// Ids of the desktop's cursor images: each image key keeps one id for the process; ids start
// at a random million so that they differ between runs. Thread-safe.
class CursorShapeIDs {
public:
    CursorShapeIDs();
    int64_t id(uint64_t key);

private:
    Mutex lock;  // guards ids and next
    std::map<uint64_t, int64_t> ids TOVO_GUARDED_BY(lock);
    int64_t next TOVO_GUARDED_BY(lock);
};

// Follows the pointer for one streamed display: its position every 50 ms and its shape
// every other poll, normalised to the display, with sub-1.5-pixel jitter suppressed.
//
// Threads: polls on `queue`; current() and notePointerAt() from any thread; onChange runs
// after the lock is released.
class DisplayPointerTracker : public CursorFeed {
public:
    static constexpr std::chrono::milliseconds pollInterval{50};
    static constexpr int shapeEvery = 2;
    static constexpr size_t maxShapes = 32;

    DisplayPointerTracker(uint32_t display, std::function<std::optional<PointerBounds>()> bounds, PointerProbe& probe,
                          CursorShapeIDs& shapeIDs, std::shared_ptr<TaskQueue> queue);
    ~DisplayPointerTracker() override;

    void start();
    void stop();
    std::pair<ClientCursor, std::optional<ClientCursorShape>> current() override;
    // Moves the tracked cursor to (x, y) of the display at once, as injected input does.
    void moveTo(double x, double y);
    // How many desktop cursor shapes were seen (0: only the built-in arrow).
    size_t systemShapes();
    // Takes one sample now (what each poll does).
    void sample(bool withShape);

    // What runs after a change; replace with null before dropping what it refers to.
    void setOnChange(std::function<void()> hook);

    const uint32_t display;

private:
    const std::function<std::optional<PointerBounds>()> bounds;
    PointerProbe& probe;
    CursorShapeIDs& shapeIDs;
    Mutex lock;  // guards everything below
    std::function<void()> onChange TOVO_GUARDED_BY(lock);
    ClientCursor cursor TOVO_GUARDED_BY(lock);
    std::map<int64_t, ClientCursorShape> shapes TOVO_GUARDED_BY(lock);
    std::set<uint64_t> systemKeys TOVO_GUARDED_BY(lock);
    std::optional<PointerProbe::Point> lastLocation TOVO_GUARDED_BY(lock);
    int ticks TOVO_GUARDED_BY(lock) = 0;
    // Last, so that its thread ends before the fields a poll reads.
    const std::shared_ptr<TaskQueue> queue;
};

// The live trackers, so that injected input reaches the streams of its display. Thread-safe.
class PointerTrackers {
public:
    void add(const std::shared_ptr<DisplayPointerTracker>& tracker);
    void remove(const DisplayPointerTracker* tracker);
    bool anyRunning();
    // Injected input put the pointer at (x, y) (0…1 of `display`): every tracker of that
    // display moves there.
    void notePointerAt(double x, double y, uint32_t display);

private:
    Mutex lock;  // guards trackers
    std::map<const DisplayPointerTracker*, std::weak_ptr<DisplayPointerTracker>> trackers TOVO_GUARDED_BY(lock);
};

}  // namespace tovo
