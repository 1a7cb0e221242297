// Test helper: drops a file on a window the way a file manager does, by the XDND protocol
// (Enter, Position, Drop; the file's URI handed over through the XdndSelection selection;
// the target answers Finished).
//   oc_x11_drop <window-id> <absolute-path>
// Exit 0 once the target has finished the drop, 1 when it did not within the time-out.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <sys/select.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr long kXdndVersion = 5;
constexpr auto kTimeout = std::chrono::seconds(5);

// RFC 8089 file URI; bytes outside RFC 3986's unreserved set and '/' percent-encoded.
std::string FileUri(const std::string& path) {
    std::string out = "file://";
    for (unsigned char c : path) {
        if (std::isalnum(c) || c == '/' || c == '-' || c == '.' || c == '_' || c == '~') {
            out += static_cast<char>(c);
        } else {
            char buf[4];
            std::snprintf(buf, sizeof buf, "%%%02X", c);
            out += buf;
        }
    }
    return out + "\r\n";
}

// Waits for the next event up to the deadline; false on time-out.
bool NextEvent(Display* dpy, XEvent& ev, std::chrono::steady_clock::time_point deadline) {
    while (!XPending(dpy)) {
        const auto left = deadline - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero()) return false;
        const auto us = std::chrono::duration_cast<std::chrono::microseconds>(left).count();
        timeval tv{static_cast<time_t>(us / 1000000), static_cast<suseconds_t>(us % 1000000)};
        fd_set fds;
        FD_ZERO(&fds);
        FD_SET(ConnectionNumber(dpy), &fds);
        select(ConnectionNumber(dpy) + 1, &fds, nullptr, nullptr, &tv);
    }
    XNextEvent(dpy, &ev);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <window-id> <absolute-path>\n", argv[0]);
        return 2;
    }
    Display* dpy = XOpenDisplay(nullptr);
    if (!dpy) {
        std::fprintf(stderr, "cannot open display\n");
        return 1;
    }
    const Window target = static_cast<Window>(std::strtoul(argv[1], nullptr, 0));
    const std::string uris = FileUri(argv[2]);
    const Window source = XCreateSimpleWindow(dpy, DefaultRootWindow(dpy), 0, 0, 1, 1, 0, 0, 0);
    auto atom = [&](const char* name) { return XInternAtom(dpy, name, False); };
    const Atom selection = atom("XdndSelection"), uriList = atom("text/uri-list");
    const Atom enter = atom("XdndEnter"), position = atom("XdndPosition"), status = atom("XdndStatus");
    const Atom drop = atom("XdndDrop"), finished = atom("XdndFinished"), copy = atom("XdndActionCopy");
    XSetSelectionOwner(dpy, selection, source, CurrentTime);

    auto send = [&](Atom type, long l1, long l2, long l3, long l4) {
        XEvent ev{};
        ev.xclient.type = ClientMessage;
        ev.xclient.display = dpy;
        ev.xclient.window = target;
        ev.xclient.message_type = type;
        ev.xclient.format = 32;
        ev.xclient.data.l[0] = static_cast<long>(source);
        ev.xclient.data.l[1] = l1;
        ev.xclient.data.l[2] = l2;
        ev.xclient.data.l[3] = l3;
        ev.xclient.data.l[4] = l4;
        XSendEvent(dpy, target, False, NoEventMask, &ev);
        XFlush(dpy);
    };

    // The pointer over the middle of the window, in root coordinates.
    XWindowAttributes wa{};
    XGetWindowAttributes(dpy, target, &wa);
    int rx = 0, ry = 0;
    Window child = 0;
    XTranslateCoordinates(dpy, target, DefaultRootWindow(dpy), wa.width / 2, wa.height / 2, &rx, &ry, &child);

    const auto deadline = std::chrono::steady_clock::now() + kTimeout;
    send(enter, kXdndVersion << 24, static_cast<long>(uriList), 0, 0);
    send(position, 0, (static_cast<long>(rx) << 16) | ry, CurrentTime, static_cast<long>(copy));
    bool dropped = false;
    XEvent ev;
    while (NextEvent(dpy, ev, deadline)) {
        if (ev.type == ClientMessage && ev.xclient.message_type == status && !dropped) {
            if (!(ev.xclient.data.l[1] & 1)) {
                std::fprintf(stderr, "the window does not accept the drop\n");
                return 1;
            }
            send(drop, 0, CurrentTime, 0, 0);
            dropped = true;
        } else if (ev.type == SelectionRequest) {
            const XSelectionRequestEvent& req = ev.xselectionrequest;
            XEvent reply{};
            reply.xselection.type = SelectionNotify;
            reply.xselection.display = dpy;
            reply.xselection.requestor = req.requestor;
            reply.xselection.selection = req.selection;
            reply.xselection.target = req.target;
            reply.xselection.time = req.time;
            reply.xselection.property = None;
            if (req.target == uriList) {
                XChangeProperty(dpy, req.requestor, req.property, uriList, 8, PropModeReplace,
                                reinterpret_cast<const unsigned char*>(uris.data()), static_cast<int>(uris.size()));
                reply.xselection.property = req.property;
            }
            XSendEvent(dpy, req.requestor, False, NoEventMask, &reply);
            XFlush(dpy);
        } else if (ev.type == ClientMessage && ev.xclient.message_type == finished) {
            XCloseDisplay(dpy);
            return 0;
        }
    }
    std::fprintf(stderr, "no XdndFinished from the window within %lld s\n",
                 static_cast<long long>(kTimeout.count()));
    return 1;
}
