#include "app/gtk/GtkApp.h"

#include <glib.h>

#include <map>

namespace tovo {
namespace {

class GLibMainLoop final : public GLibLoop {
public:
    GLibMainLoop() : loop(g_main_loop_new(nullptr, FALSE)) {}
    ~GLibMainLoop() override {
        for (auto& [id, timer] : timers) g_source_remove(timer.source);
        g_main_loop_unref(loop);
    }

    void post(std::function<void()> job) override {
        auto* heap = new std::function<void()>(std::move(job));
        // Always queued to the main context, never run on the calling thread (which
        // g_main_context_invoke would do while no loop runs).
        g_idle_add_full(
            G_PRIORITY_DEFAULT,
            [](gpointer data) -> gboolean {
                (*static_cast<std::function<void()>*>(data))();
                return G_SOURCE_REMOVE;
            },
            heap, [](gpointer data) { delete static_cast<std::function<void()>*>(data); });
    }

    TimerId after(double seconds, std::function<void()> job) override { return add(seconds, std::move(job), false); }
    TimerId every(double seconds, std::function<void()> job) override { return add(seconds, std::move(job), true); }

    void cancel(TimerId id) override {
        auto it = timers.find(id);
        if (it == timers.end()) return;
        g_source_remove(it->second.source);
        timers.erase(it);
    }

    double now() override { return static_cast<double>(g_get_monotonic_time()) / 1e6; }
    void quit() override { g_main_loop_quit(loop); }
    void run() override { g_main_loop_run(loop); }

private:
    struct Timer {
        guint source = 0;
        std::function<void()> job;
        bool repeat = false;
    };
    struct Tick {
        GLibMainLoop* owner;
        TimerId id;
    };

    TimerId add(double seconds, std::function<void()> job, bool repeat) {
        const TimerId id = ++lastId;
        auto* tick = new Tick{this, id};
        guint source = g_timeout_add_full(
            G_PRIORITY_DEFAULT, static_cast<guint>(seconds * 1000),
            [](gpointer data) -> gboolean {
                auto* t = static_cast<Tick*>(data);
                auto it = t->owner->timers.find(t->id);
                if (it == t->owner->timers.end()) return G_SOURCE_REMOVE;
                bool repeat = it->second.repeat;
                auto job = it->second.job;  // the job may cancel its own timer
                if (!repeat) t->owner->timers.erase(it);
                job();
                return repeat ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
            },
            tick, [](gpointer data) { delete static_cast<Tick*>(data); });
        timers[id] = Timer{source, std::move(job), repeat};
        return id;
    }

    GMainLoop* loop;
    TimerId lastId = 0;
    std::map<TimerId, Timer> timers;
};

}  // namespace

std::unique_ptr<GLibLoop> makeGLibLoop() { return std::make_unique<GLibMainLoop>(); }

}  // namespace tovo
