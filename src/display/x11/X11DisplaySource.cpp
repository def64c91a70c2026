// DisplaySource on X11: RandR 1.5 monitors, else Xinerama screens, else the whole screen
// as display 1; DPMS for the power state.
#include "display/DisplayNames.h"
#include "display/x11/X11Displays.h"
#include "x11/X11Connection.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xinerama.h>
#include <X11/extensions/Xrandr.h>
#include <X11/extensions/dpms.h>

namespace tovo {
namespace {

std::vector<uint8_t> outputEDID(Display* display, RROutput output) {
    Atom edidAtom = XInternAtom(display, "EDID", True);
    if (edidAtom == None) return {};
    unsigned char* data = nullptr;
    Atom type;
    int format;
    unsigned long count = 0, remaining = 0;
    std::vector<uint8_t> bytes;
    if (XRRGetOutputProperty(display, output, edidAtom, 0, 256, False, False, AnyPropertyType, &type, &format, &count,
                             &remaining, &data) == Success &&
        data && format == 8) {
        bytes.assign(data, data + count);
    }
    if (data) XFree(data);
    return bytes;
}

bool randrMonitors(Display* display, std::vector<MonitorRecord>& out) {
    int eventBase, errorBase, major = 0, minor = 0;
    if (!XRRQueryExtension(display, &eventBase, &errorBase) || !XRRQueryVersion(display, &major, &minor)) return false;
    if (major < 1 || (major == 1 && minor < 5)) return false;
    Window root = DefaultRootWindow(display);
    int count = 0;
    XRRMonitorInfo* monitors = XRRGetMonitors(display, root, True, &count);
    if (!monitors) return false;
    XRRScreenResources* resources = XRRGetScreenResourcesCurrent(display, root);
    for (int i = 0; i < count; ++i) {
        const XRRMonitorInfo& m = monitors[i];
        MonitorRecord record;
        record.id = m.noutput > 0 ? static_cast<uint32_t>(m.outputs[0]) : static_cast<uint32_t>(i + 1);
        record.x = m.x;
        record.y = m.y;
        record.width = m.width;
        record.height = m.height;
        record.primary = m.primary != 0;
        if (m.noutput > 0 && resources) {
            if (XRROutputInfo* info = XRRGetOutputInfo(display, resources, m.outputs[0])) {
                std::string connector(info->name, static_cast<size_t>(info->nameLen));
                record.name =
                    DisplayNames::choose(DisplayNames::fromEDID(outputEDID(display, m.outputs[0])), connector);
                record.kind = DisplayNames::kindOf(connector);
                XRRFreeOutputInfo(info);
            }
        }
        out.push_back(record);
    }
    if (resources) XRRFreeScreenResources(resources);
    XRRFreeMonitors(monitors);
    return count > 0;
}

bool xineramaScreens(Display* display, std::vector<MonitorRecord>& out) {
    int eventBase, errorBase;
    if (!XineramaQueryExtension(display, &eventBase, &errorBase) || !XineramaIsActive(display)) return false;
    int count = 0;
    XineramaScreenInfo* screens = XineramaQueryScreens(display, &count);
    if (!screens) return false;
    for (int i = 0; i < count; ++i) {
        MonitorRecord record;
        record.id = static_cast<uint32_t>(screens[i].screen_number + 1);
        record.x = screens[i].x_org;
        record.y = screens[i].y_org;
        record.width = screens[i].width;
        record.height = screens[i].height;
        record.primary = i == 0;
        out.push_back(record);
    }
    XFree(screens);
    return count > 0;
}

bool dpmsCapable(Display* display) {
    int eventBase, errorBase;
    return DPMSQueryExtension(display, &eventBase, &errorBase) && DPMSCapable(display);
}

class X11DisplaySource final : public DisplaySource {
public:
    explicit X11DisplaySource(x11::SharedDisplay& shared) : shared(shared) {}

    std::vector<MonitorRecord> monitors() override {
        std::vector<MonitorRecord> out;
        bool alive = shared.with([&](Display* display) {
            if (randrMonitors(display, out)) return;
            out.clear();
            if (xineramaScreens(display, out)) return;
            out.clear();
            MonitorRecord whole;
            whole.id = 1;
            whole.width = DisplayWidth(display, DefaultScreen(display));
            whole.height = DisplayHeight(display, DefaultScreen(display));
            whole.primary = true;
            out.push_back(whole);
        });
        if (!alive) out.clear();
        return out;
    }

    bool asleep() override {
        bool result = false;
        shared.with([&](Display* display) {
            if (!dpmsCapable(display)) return;
            CARD16 level = DPMSModeOn;
            BOOL enabled = False;
            if (DPMSInfo(display, &level, &enabled)) result = enabled && level != DPMSModeOn;
        });
        return result;
    }

    void declareUserActivity() override {
        shared.with([](Display* display) {
            if (dpmsCapable(display)) DPMSForceLevel(display, DPMSModeOn);
            XResetScreenSaver(display);
            XFlush(display);
        });
    }

private:
    x11::SharedDisplay& shared;
};

}  // namespace

std::unique_ptr<DisplaySource> makeX11DisplaySource(x11::SharedDisplay& display) {
    return std::make_unique<X11DisplaySource>(display);
}

}  // namespace tovo
