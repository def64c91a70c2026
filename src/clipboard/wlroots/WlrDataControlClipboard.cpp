#include "base/Log.h"
#include "base/Utf8.h"
#include "clipboard/ClipboardJobs.h"
#include "clipboard/formats/ClipboardFormats.h"
#include "clipboard/wlroots/WlrootsClipboard.h"
#include "wayland/WaylandClient.h"
#include "wlr-data-control-unstable-v1-client-protocol.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <wayland-client.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <thread>

namespace tovo {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto answerTimeout = std::chrono::seconds(2);
constexpr size_t readLimit = 256u << 20;  // what one clipboard read may hold

// Reads `fd` to its end (or `readLimit`), giving up at `deadline`. Closes `fd`.
std::optional<std::string> readAll(int fd, Clock::time_point deadline) {
    std::string data;
    char chunk[65536];
    bool complete = false;
    while (data.size() < readLimit) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) break;
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) {
            complete = n == 0;
            break;
        }
        data.append(chunk, static_cast<size_t>(n));
    }
    ::close(fd);
    if (!complete) return std::nullopt;
    return data;
}

class WlrDataControlClipboard final : public Pasteboard {
public:
    WlrDataControlClipboard() {
        thread = std::thread([this] { run(); });
    }

    ~WlrDataControlClipboard() override {
        jobs.end();
        thread.join();
    }

    int64_t changeCount() override { return count.load(); }

    Offer offer() override {
        return jobs.call<Offer>(Offer{}, [this] {
            Offer offer;
            offer.types = currentTypes();
            auto has = [&](const char* type) {
                return std::find(offer.types.begin(), offer.types.end(), type) != offer.types.end();
            };
            if (has("x-kde-passwordManagerHint")) {
                if (auto hint = receive("x-kde-passwordManagerHint"); hint && *hint == "secret") {
                    offer.concealed = true;
                    return offer;
                }
            }
            for (const char* type : {"x-special/gnome-copied-files", "text/uri-list"}) {
                if (!has(type) || !offer.filePaths.empty()) continue;
                if (auto list = receive(type)) offer.filePaths = filePathsOf(*list);
            }
            for (const char* type : {"text/plain;charset=utf-8", "UTF8_STRING", "text/plain", "TEXT", "STRING"}) {
                if (!has(type) || offer.text) continue;
                offer.text = receive(type);
                if (offer.text && std::string(type) == "STRING") offer.text = utf8FromLatin1(*offer.text);
            }
            for (const auto& type : offer.types) offer.hasImage = offer.hasImage || type.rfind("image/", 0) == 0;
            return offer;
        });
    }

    std::optional<std::string> png() override {
        return jobs.call<std::optional<std::string>>(std::nullopt, [this]() -> std::optional<std::string> {
            for (const auto& type : imageTypesByPreference(currentTypes())) {
                if (auto data = receive(type)) {
                    if (auto png = imageAsPNG(type, *data)) return png;
                }
            }
            return std::nullopt;
        });
    }

    int64_t writeText(const std::string& text) override { return take(textContent(text)); }

    int64_t writeFiles(const std::vector<std::string>& paths, const std::optional<std::string>& imageType,
                       const std::string& imageData) override {
        return take(filesContent(paths, imageType, imageData));
    }

private:
    using Owned = ClipboardContent;

    int64_t take(Owned content) {
        return jobs.call<int64_t>(count.load(), [this, content = std::move(content)]() mutable {
            if (!manager) return count.load();
            const int64_t before = count.load();
            auto* source = zwlr_data_control_manager_v1_create_data_source(manager);
            for (const auto& [type, data] : content) zwlr_data_control_source_v1_offer(source, type.c_str());
            zwlr_data_control_source_v1_add_listener(source, &sourceListener, this);
            zwlr_data_control_device_v1_set_selection(device, source);
            if (ownSource) zwlr_data_control_source_v1_destroy(ownSource);
            ownSource = source;
            owned = std::move(content);
            // The compositor answers with the new selection, which moves the count on.
            connection->dispatchUntil([&] { return count.load() != before; }, Clock::now() + answerTimeout);
            return count.load();
        });
    }

    // --- everything below runs on the clipboard thread --------------------------------

    void run() {
        for (;;) {
            std::deque<ClipboardJobs::Job> batch;
            if (!jobs.take(batch)) break;
            const bool connected = ensureConnection();
            for (auto& job : batch) job(connected);
            waitForWork(connected ? 250 : 1000);
        }
        jobs.finish();
        close();
    }

    bool ensureConnection() {
        if (connection && !connection->broken() && !finished) return manager != nullptr;
        close();
        finished = false;
        connection = wayland::Connection::open();
        if (!connection) return false;
        manager =
            static_cast<zwlr_data_control_manager_v1*>(connection->bind(&zwlr_data_control_manager_v1_interface, 2));
        if (!manager || !connection->seat()) {
            if (!loggedMissing) log("clipboard: the compositor offers no zwlr_data_control_manager_v1");
            loggedMissing = true;
            return false;
        }
        device = zwlr_data_control_manager_v1_get_data_device(manager, connection->seat());
        zwlr_data_control_device_v1_add_listener(device, &deviceListener, this);
        connection->roundtrip();
        return true;
    }

    void close() {
        for (auto& [proxy, types] : offers) zwlr_data_control_offer_v1_destroy(proxy);
        offers.clear();
        selection = nullptr;
        if (ownSource) zwlr_data_control_source_v1_destroy(ownSource);
        ownSource = nullptr;
        owned.clear();
        if (device) zwlr_data_control_device_v1_destroy(device);
        device = nullptr;
        if (manager) zwlr_data_control_manager_v1_destroy(manager);
        manager = nullptr;
        connection.reset();
    }

    // Waits for the compositor's events or a job, dispatching the events.
    void waitForWork(int timeoutMs) {
        if (!connection) {
            pollfd p{jobs.wakeFd(), POLLIN, 0};
            ::poll(&p, 1, timeoutMs);
            jobs.drainWake();
            return;
        }
        wl_display* display = connection->display();
        while (wl_display_prepare_read(display) != 0) wl_display_dispatch_pending(display);
        connection->flush();
        pollfd p[2] = {{wl_display_get_fd(display), POLLIN, 0}, {jobs.wakeFd(), POLLIN, 0}};
        if (::poll(p, 2, timeoutMs) > 0 && (p[0].revents & POLLIN)) {
            wl_display_read_events(display);
        } else {
            wl_display_cancel_read(display);
        }
        wl_display_dispatch_pending(display);
        jobs.drainWake();
    }

    std::vector<std::string> currentTypes() {
        if (ownSource && selectionIsOwn) {
            std::vector<std::string> types;
            for (const auto& [type, data] : owned) types.push_back(type);
            return types;
        }
        auto at = offers.find(selection);
        return at == offers.end() ? std::vector<std::string>{} : at->second;
    }

    // The selection's data of `type`. Our own selection is answered from memory: asking
    // the compositor would have it ask this very thread, which is busy waiting.
    std::optional<std::string> receive(const std::string& type) {
        if (ownSource && selectionIsOwn) {
            auto at = owned.find(type);
            if (at == owned.end()) return std::nullopt;
            return *at->second;
        }
        if (!selection) return std::nullopt;
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
        zwlr_data_control_offer_v1_receive(selection, type.c_str(), fds[1]);
        connection->flush();
        ::close(fds[1]);
        return readAll(fds[0], Clock::now() + answerTimeout);
    }

    static void onDataOffer(void* data, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1* offer) {
        auto* self = static_cast<WlrDataControlClipboard*>(data);
        self->offers[offer] = {};
        zwlr_data_control_offer_v1_add_listener(offer, &offerListener, self);
    }
    static void onSelection(void* data, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1* offer) {
        auto* self = static_cast<WlrDataControlClipboard*>(data);
        if (self->selection && self->selection != offer) {
            zwlr_data_control_offer_v1_destroy(self->selection);
            self->offers.erase(self->selection);
        }
        self->selection = offer;
        // The offer of our own source lists the types we offered, nothing more.
        self->selectionIsOwn = self->ownSource && offer && self->offers[offer] == self->ownTypes();
        self->count.fetch_add(1);
    }
    static void onFinished(void* data, zwlr_data_control_device_v1*) {
        // The device is unusable: the next round opens the connection afresh.
        static_cast<WlrDataControlClipboard*>(data)->finished = true;
    }
    static void onPrimarySelection(void* data, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1* offer) {
        auto* self = static_cast<WlrDataControlClipboard*>(data);
        if (!offer || offer == self->selection) return;
        zwlr_data_control_offer_v1_destroy(offer);
        self->offers.erase(offer);
    }
    static constexpr zwlr_data_control_device_v1_listener deviceListener = {onDataOffer, onSelection, onFinished,
                                                                            onPrimarySelection};

    static void onOffer(void* data, zwlr_data_control_offer_v1* offer, const char* type) {
        static_cast<WlrDataControlClipboard*>(data)->offers[offer].push_back(type);
    }
    static constexpr zwlr_data_control_offer_v1_listener offerListener = {onOffer};

    static void onSend(void* data, zwlr_data_control_source_v1*, const char* type, int fd) {
        auto* self = static_cast<WlrDataControlClipboard*>(data);
        auto at = self->owned.find(type);
        if (at != self->owned.end()) {
            // The reader may be slow; a blocking write of what we hold is bounded by its size.
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
            const std::string& bytes = *at->second;
            size_t done = 0;
            while (done < bytes.size()) {
                const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
                if (n <= 0) break;
                done += static_cast<size_t>(n);
            }
        }
        ::close(fd);
    }
    static void onCancelled(void* data, zwlr_data_control_source_v1* source) {
        auto* self = static_cast<WlrDataControlClipboard*>(data);
        zwlr_data_control_source_v1_destroy(source);
        if (self->ownSource == source) {
            self->ownSource = nullptr;
            self->owned.clear();
            self->selectionIsOwn = false;
        }
    }
    static constexpr zwlr_data_control_source_v1_listener sourceListener = {onSend, onCancelled};

    std::vector<std::string> ownTypes() const {
        std::vector<std::string> types;
        for (const auto& [type, data] : owned) types.push_back(type);
        return types;
    }

    ClipboardJobs jobs;
    std::atomic<int64_t> count{0};

    // The clipboard thread's own.
    std::unique_ptr<wayland::Connection> connection;
    zwlr_data_control_manager_v1* manager = nullptr;
    zwlr_data_control_device_v1* device = nullptr;
    std::map<zwlr_data_control_offer_v1*, std::vector<std::string>> offers;  // with their types
    zwlr_data_control_offer_v1* selection = nullptr;
    zwlr_data_control_source_v1* ownSource = nullptr;
    Owned owned;  // what ownSource offers
    bool selectionIsOwn = false;
    bool loggedMissing = false;
    bool finished = false;  // the compositor ended the device

    std::thread thread;  // last: it uses everything above
};

}  // namespace

std::unique_ptr<Pasteboard> makeWlrootsClipboard() { return std::make_unique<WlrDataControlClipboard>(); }

}  // namespace tovo
