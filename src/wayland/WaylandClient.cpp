#include "wayland/WaylandClient.h"

#include "base/Log.h"
#include "xdg-output-unstable-v1-client-protocol.h"

#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

namespace tovo::wayland {

struct Connection::Listeners {
    static void global(void* data, wl_registry*, uint32_t name, const char* interface, uint32_t version) {
        auto* self = static_cast<Connection*>(data);
        self->globals.push_back({name, interface, version});
        if (std::strcmp(interface, wl_output_interface.name) == 0) self->addOutput(name, version);
    }
    static void globalRemove(void* data, wl_registry*, uint32_t name) {
        auto* self = static_cast<Connection*>(data);
        std::erase_if(self->globals, [name](const Global& g) { return g.name == name; });
        std::erase_if(self->outputList, [name](const std::unique_ptr<Output>& output) {
            if (output->globalName != name) return false;
            if (output->xdg) zxdg_output_v1_destroy(output->xdg);
            wl_output_destroy(output->output);
            return true;
        });
    }
    static constexpr wl_registry_listener registry = {global, globalRemove};

    static void geometry(void* data, wl_output*, int32_t, int32_t, int32_t, int32_t, int32_t, const char*, const char*,
                         int32_t transform) {
        static_cast<Output*>(data)->transform = transform;
    }
    static void mode(void* data, wl_output*, uint32_t flags, int32_t width, int32_t height, int32_t) {
        if (!(flags & WL_OUTPUT_MODE_CURRENT)) return;
        auto* output = static_cast<Output*>(data);
        output->modeWidth = width;
        output->modeHeight = height;
    }
    static void done(void*, wl_output*) {}
    static void scale(void* data, wl_output*, int32_t factor) { static_cast<Output*>(data)->scale = factor; }
    static void name(void* data, wl_output*, const char* name) {
        auto* output = static_cast<Output*>(data);
        if (output->name.empty()) output->name = name;
    }
    static void description(void* data, wl_output*, const char* text) {
        static_cast<Output*>(data)->description = text;
    }
    static constexpr wl_output_listener output = {geometry, mode, done, scale, name, description};

    static void logicalPosition(void* data, zxdg_output_v1*, int32_t x, int32_t y) {
        auto* output = static_cast<Output*>(data);
        output->x = x;
        output->y = y;
        output->logicalKnown = true;
    }
    static void logicalSize(void* data, zxdg_output_v1*, int32_t width, int32_t height) {
        auto* output = static_cast<Output*>(data);
        output->width = width;
        output->height = height;
    }
    static void xdgDone(void*, zxdg_output_v1*) {}
    static void xdgName(void* data, zxdg_output_v1*, const char* name) { static_cast<Output*>(data)->name = name; }
    static void xdgDescription(void* data, zxdg_output_v1*, const char* text) {
        static_cast<Output*>(data)->description = text;
    }
    static constexpr zxdg_output_v1_listener xdgOutput = {logicalPosition, logicalSize, xdgDone, xdgName,
                                                          xdgDescription};
};

std::unique_ptr<Connection> Connection::open(std::string* why) {
    wl_display* display = wl_display_connect(nullptr);
    if (!display) {
        if (why) *why = std::string("no Wayland compositor answers (") + std::strerror(errno) + ")";
        return nullptr;
    }
    std::unique_ptr<Connection> self(new Connection);
    self->wlDisplay = display;
    self->registry = wl_display_get_registry(display);
    wl_registry_add_listener(self->registry, &Listeners::registry, self.get());
    if (!self->roundtrip()) {
        if (why) *why = "the Wayland compositor closed the connection";
        return nullptr;
    }
    self->wlShm = static_cast<wl_shm*>(self->bind(&wl_shm_interface, 1));
    self->wlSeat = static_cast<wl_seat*>(self->bind(&wl_seat_interface, 1));
    self->xdgOutputs = static_cast<zxdg_output_manager_v1*>(self->bind(&zxdg_output_manager_v1_interface, 3));
    for (auto& output : self->outputList) self->watchLogical(*output);
    // xdg-output's answers (the outputs' own came in the round trips above).
    self->roundtrip();
    return self;
}

Connection::~Connection() {
    for (auto& output : outputList) {
        if (output->xdg) zxdg_output_v1_destroy(output->xdg);
        wl_output_destroy(output->output);
    }
    if (xdgOutputs) zxdg_output_manager_v1_destroy(xdgOutputs);
    if (wlSeat) wl_seat_destroy(wlSeat);
    if (wlShm) wl_shm_destroy(wlShm);
    if (registry) wl_registry_destroy(registry);
    wl_display_disconnect(wlDisplay);
}

void Connection::addOutput(uint32_t name, uint32_t version) {
    auto output = std::make_unique<Output>();
    output->globalName = name;
    output->output =
        static_cast<wl_output*>(wl_registry_bind(registry, name, &wl_output_interface, std::min(version, 4u)));
    wl_output_add_listener(output->output, &Listeners::output, output.get());
    if (xdgOutputs) watchLogical(*output);
    outputList.push_back(std::move(output));
    outputsAdded = true;
}

void Connection::watchLogical(Output& output) {
    if (output.xdg || !xdgOutputs) return;
    output.xdg = zxdg_output_manager_v1_get_xdg_output(xdgOutputs, output.output);
    zxdg_output_v1_add_listener(output.xdg, &Listeners::xdgOutput, &output);
}

bool Connection::has(const std::string& interface, uint32_t version) const {
    return std::any_of(globals.begin(), globals.end(),
                       [&](const Global& g) { return g.interface == interface && g.version >= version; });
}

void* Connection::bind(const wl_interface* interface, uint32_t maxVersion) {
    for (const auto& g : globals) {
        if (g.interface != interface->name) continue;
        const uint32_t version = std::min({g.version, maxVersion, static_cast<uint32_t>(interface->version)});
        return wl_registry_bind(registry, g.name, interface, version);
    }
    return nullptr;
}

const Output* Connection::outputNamed(const std::string& name) const {
    for (const auto& output : outputList)
        if (output->name == name) return output.get();
    return nullptr;
}

bool Connection::roundtrip() {
    // An output that appeared during the round trip is described only in answers to the
    // requests its appearance made: those take one round trip more (two with xdg-output).
    for (int round = 0; round < 3; ++round) {
        outputsAdded = false;
        if (wl_display_roundtrip(wlDisplay) < 0) return false;
        if (!outputsAdded) return true;
    }
    return true;
}

bool Connection::flush() {
    while (wl_display_flush(wlDisplay) < 0) {
        if (errno != EAGAIN) return false;
        pollfd fd{wl_display_get_fd(wlDisplay), POLLOUT, 0};
        if (::poll(&fd, 1, 1000) <= 0) return false;
    }
    return true;
}

bool Connection::broken() const { return wl_display_get_error(wlDisplay) != 0; }

bool Connection::dispatchUntil(const std::function<bool()>& done, Clock::time_point deadline) {
    for (;;) {
        if (wl_display_dispatch_pending(wlDisplay) < 0) return false;
        if (done()) return true;
        while (wl_display_prepare_read(wlDisplay) != 0) {
            if (wl_display_dispatch_pending(wlDisplay) < 0) return false;
            if (done()) return true;
        }
        if (!flush()) {
            wl_display_cancel_read(wlDisplay);
            return false;
        }
        // Rounded up: a wait of under a millisecond must sleep, not spin through zero-length
        // polls until the deadline.
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            wl_display_cancel_read(wlDisplay);
            return false;
        }
        pollfd fd{wl_display_get_fd(wlDisplay), POLLIN, 0};
        const int ready = ::poll(&fd, 1, static_cast<int>(std::min<long long>(left, 1000)));
        if (ready > 0) {
            if (wl_display_read_events(wlDisplay) < 0) return false;
        } else {
            wl_display_cancel_read(wlDisplay);
            if (ready < 0 && errno != EINTR) return false;
        }
    }
}

std::unique_ptr<ShmBuffer> ShmBuffer::create(wl_shm* shm, int width, int height, int stride, uint32_t format) {
    if (!shm || width <= 0 || height <= 0 || stride < width * 4) return nullptr;
    const size_t size = static_cast<size_t>(stride) * static_cast<size_t>(height);
    const int fd = ::memfd_create("tovo-picture", MFD_CLOEXEC);
    if (fd < 0) return nullptr;
    if (::ftruncate(fd, static_cast<off_t>(size)) != 0) {
        ::close(fd);
        return nullptr;
    }
    void* memory = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (memory == MAP_FAILED) {
        ::close(fd);
        return nullptr;
    }
    std::unique_ptr<ShmBuffer> self(new ShmBuffer);
    self->pixels = static_cast<uint8_t*>(memory);
    self->size = size;
    self->width = width;
    self->height = height;
    self->stride = stride;
    self->format = format;
    wl_shm_pool* pool = wl_shm_create_pool(shm, fd, static_cast<int32_t>(size));
    self->wlBuffer = wl_shm_pool_create_buffer(pool, 0, width, height, stride, format);
    wl_shm_pool_destroy(pool);
    ::close(fd);
    return self;
}

ShmBuffer::~ShmBuffer() {
    if (wlBuffer) wl_buffer_destroy(wlBuffer);
    if (pixels) ::munmap(pixels, size);
}

bool SharedConnection::with(const std::function<void(Connection&)>& use) {
    MutexLock guard(lock);
    if (connection && connection->broken()) {
        log("session: lost the Wayland compositor");
        connection.reset();
    }
    if (!connection) {
        connection = Connection::open();
        if (!connection) return false;
    }
    if (!connection->roundtrip()) {
        connection.reset();
        return false;
    }
    use(*connection);
    return !connection->broken();
}

uint32_t eventTime() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint32_t>(now.tv_sec * 1000 + now.tv_nsec / 1000000);
}

}  // namespace tovo::wayland
