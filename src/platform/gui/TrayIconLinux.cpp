#include "platform/gui/TrayIcon.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/gui/AppIcon.h"

namespace platform {

namespace {

// freedesktop System Tray Protocol 0.3 and XEmbed 0.5.
constexpr long kSystemTrayRequestDock = 0;
constexpr long kXembedEmbeddedNotify = 0;
constexpr long kXembedMapped = 1L << 0;
// X has no double-click event: two presses of button 1 this close together make one.
constexpr unsigned long kDoubleClickMs = 400;
constexpr int kTipDelayMs = 600;
// Tray hosts size icons from WM_NORMAL_HINTS; without a minimum they may make it 1 px wide.
constexpr int kIconHint = 22;

int ShiftOf(unsigned long mask) {
    int s = 0;
    while (mask && !(mask & 1)) {
        mask >>= 1;
        ++s;
    }
    return s;
}

unsigned long Channel(uint32_t v8, unsigned long mask) {
    if (!mask) return 0;
    const int shift = ShiftOf(mask);
    const unsigned long max = mask >> shift;
    return ((v8 * max + 127) / 255) << shift;
}

}  // namespace

struct TrayIcon::Impl {
    Display* dpy = nullptr;
    int screen = 0;
    Window root = 0;
    Window icon = 0;
    Window owner = 0;
    Window menu = 0;
    Window tip = 0;
    Atom selection = 0, opcode = 0, manager = 0, xembedInfo = 0, xembed = 0, netWmName = 0, utf8 = 0;
    bool docked = false;
    std::string tipText, menuText;
    Time lastPress = 0;
    bool pointerInside = false;
    std::chrono::steady_clock::time_point enteredAt;
    int width = kIconHint, height = kIconHint;
    int menuWidth = 0, menuHeight = 0;
    bool menuHot = false;
    XFontStruct* font = nullptr;
    GC gc = nullptr;

    void Dock();
    void DrawIcon();
    void OpenMenu(int x, int y);
    void CloseMenu();
    void DrawMenu();
    void ShowTip();
    void HideTip();
    Window Popup(int x, int y, int w, int h);
};

Window TrayIcon::Impl::Popup(int x, int y, int w, int h) {
    XSetWindowAttributes a{};
    a.override_redirect = True;
    a.background_pixel = WhitePixel(dpy, screen);
    a.border_pixel = BlackPixel(dpy, screen);
    a.event_mask = ExposureMask | ButtonPressMask | ButtonReleaseMask | PointerMotionMask;
    Window w_ = XCreateWindow(dpy, root, x, y, static_cast<unsigned>(w), static_cast<unsigned>(h), 1,
                              CopyFromParent, InputOutput, CopyFromParent,
                              CWOverrideRedirect | CWBackPixel | CWBorderPixel | CWEventMask, &a);
    XClassHint cls{const_cast<char*>("orvanta-connect-tray-popup"), const_cast<char*>("OrvantaConnect")};
    XSetClassHint(dpy, w_, &cls);
    return w_;
}

void TrayIcon::Impl::Dock() {
    // The server grab keeps the owner from vanishing between the query and the select.
    XGrabServer(dpy);
    owner = XGetSelectionOwner(dpy, selection);
    if (owner != None) XSelectInput(dpy, owner, StructureNotifyMask);
    XUngrabServer(dpy);
    XFlush(dpy);
    if (owner == None) return;
    XEvent ev{};
    ev.xclient.type = ClientMessage;
    ev.xclient.window = owner;
    ev.xclient.message_type = opcode;
    ev.xclient.format = 32;
    ev.xclient.data.l[0] = CurrentTime;
    ev.xclient.data.l[1] = kSystemTrayRequestDock;
    ev.xclient.data.l[2] = static_cast<long>(icon);
    XSendEvent(dpy, owner, False, NoEventMask, &ev);
    XSync(dpy, False);
}

void TrayIcon::Impl::DrawIcon() {
    XClearWindow(dpy, icon);  // the host's background (ParentRelative)
    const int size = std::max(1, std::min(width, height));
    const std::vector<uint32_t> px = DrawAppIcon(size);
    Visual* visual = DefaultVisual(dpy, screen);
    const int depth = DefaultDepth(dpy, screen);
    char* data = static_cast<char*>(std::malloc(static_cast<size_t>(size) * size * 4));
    if (!data) return;
    XImage* img = XCreateImage(dpy, visual, static_cast<unsigned>(depth), ZPixmap, 0, data,
                               static_cast<unsigned>(size), static_cast<unsigned>(size), 32, 0);
    if (!img) {
        std::free(data);
        return;
    }
    // Alpha becomes a 1-bit clip mask; the rest of the icon shows the tray behind it.
    const int stride = (size + 7) / 8;
    std::vector<char> mask(static_cast<size_t>(stride) * size, 0);
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            const uint32_t p = px[static_cast<size_t>(y) * size + x];
            XPutPixel(img, x, y,
                      Channel((p >> 16) & 0xff, visual->red_mask) | Channel((p >> 8) & 0xff, visual->green_mask) |
                          Channel(p & 0xff, visual->blue_mask));
            if ((p >> 24) >= 128) mask[static_cast<size_t>(y) * stride + x / 8] |= static_cast<char>(1 << (x % 8));
        }
    }
    Pixmap clip = XCreateBitmapFromData(dpy, icon, mask.data(), static_cast<unsigned>(size), static_cast<unsigned>(size));
    const int ox = (width - size) / 2, oy = (height - size) / 2;
    XSetClipMask(dpy, gc, clip);
    XSetClipOrigin(dpy, gc, ox, oy);
    XPutImage(dpy, icon, gc, img, 0, 0, ox, oy, static_cast<unsigned>(size), static_cast<unsigned>(size));
    XSetClipMask(dpy, gc, None);
    XFreePixmap(dpy, clip);
    XDestroyImage(img);
}

void TrayIcon::Impl::OpenMenu(int x, int y) {
    CloseMenu();
    HideTip();
    const int textW = font ? XTextWidth(font, menuText.c_str(), static_cast<int>(menuText.size()))
                           : static_cast<int>(menuText.size()) * 7;
    const int textH = font ? font->ascent + font->descent : 13;
    menuWidth = textW + 24;
    menuHeight = textH + 12;
    // Bottom-aligned at the pointer, as a tray menu opens upwards from the panel; flipped
    // or shifted when that would leave the screen.
    int mx = x, my = y - menuHeight;
    if (my < 0) my = y;
    const int sw = DisplayWidth(dpy, screen);
    if (mx + menuWidth + 2 > sw) mx = sw - menuWidth - 2;
    menu = Popup(mx, my, menuWidth, menuHeight);
    menuHot = false;
    XMapRaised(dpy, menu);
    // Grab the pointer so a click anywhere else closes the menu.
    XGrabPointer(dpy, menu, False, ButtonPressMask | ButtonReleaseMask | PointerMotionMask, GrabModeAsync,
                 GrabModeAsync, None, None, CurrentTime);
    XFlush(dpy);
}

void TrayIcon::Impl::CloseMenu() {
    if (!menu) return;
    XUngrabPointer(dpy, CurrentTime);
    XDestroyWindow(dpy, menu);
    menu = 0;
    XFlush(dpy);
}

void TrayIcon::Impl::DrawMenu() {
    if (!menu) return;
    const unsigned long bg = menuHot ? 0x3366aaUL : 0xf0f0f0UL;
    const unsigned long fg = menuHot ? 0xffffffUL : 0x000000UL;
    XSetForeground(dpy, gc, bg);
    XFillRectangle(dpy, menu, gc, 0, 0, static_cast<unsigned>(menuWidth), static_cast<unsigned>(menuHeight));
    XSetForeground(dpy, gc, fg);
    const int ascent = font ? font->ascent : 10;
    XDrawString(dpy, menu, gc, 12, 6 + ascent, menuText.c_str(), static_cast<int>(menuText.size()));
}

void TrayIcon::Impl::ShowTip() {
    if (tip || menu) return;
    Window r, child;
    int rx = 0, ry = 0, wx = 0, wy = 0;
    unsigned int m = 0;
    XQueryPointer(dpy, icon, &r, &child, &rx, &ry, &wx, &wy, &m);
    const int textW = font ? XTextWidth(font, tipText.c_str(), static_cast<int>(tipText.size()))
                           : static_cast<int>(tipText.size()) * 7;
    const int textH = font ? font->ascent + font->descent : 13;
    int ty = ry + 20;
    if (ty + textH + 8 > DisplayHeight(dpy, screen)) ty = ry - textH - 16;
    int tx = rx;
    const int sw = DisplayWidth(dpy, screen);
    if (tx + textW + 10 > sw) tx = sw - textW - 10;
    tip = Popup(tx, ty, textW + 8, textH + 6);
    XMapRaised(dpy, tip);
    XFlush(dpy);
}

void TrayIcon::Impl::HideTip() {
    if (!tip) return;
    XDestroyWindow(dpy, tip);
    tip = 0;
    XFlush(dpy);
}

std::unique_ptr<TrayIcon> TrayIcon::Create(const std::string& tipText, const std::string& menuItem) {
    Display* dpy = XOpenDisplay(nullptr);
    if (!dpy) return nullptr;
    std::unique_ptr<TrayIcon> t(new TrayIcon());
    t->impl_ = std::make_unique<Impl>();
    Impl& m = *t->impl_;
    m.dpy = dpy;
    m.screen = DefaultScreen(dpy);
    m.root = RootWindow(dpy, m.screen);
    m.tipText = tipText;
    m.menuText = menuItem;
    char selName[64];
    std::snprintf(selName, sizeof(selName), "_NET_SYSTEM_TRAY_S%d", m.screen);
    m.selection = XInternAtom(dpy, selName, False);
    m.opcode = XInternAtom(dpy, "_NET_SYSTEM_TRAY_OPCODE", False);
    m.manager = XInternAtom(dpy, "MANAGER", False);
    m.xembedInfo = XInternAtom(dpy, "_XEMBED_INFO", False);
    m.xembed = XInternAtom(dpy, "_XEMBED", False);
    m.netWmName = XInternAtom(dpy, "_NET_WM_NAME", False);
    m.utf8 = XInternAtom(dpy, "UTF8_STRING", False);

    XSetWindowAttributes a{};
    a.background_pixmap = ParentRelative;
    a.event_mask = ExposureMask | ButtonPressMask | ButtonReleaseMask | StructureNotifyMask |
                   EnterWindowMask | LeaveWindowMask;
    m.icon = XCreateWindow(dpy, m.root, 0, 0, kIconHint, kIconHint, 0, CopyFromParent, InputOutput,
                           CopyFromParent, CWBackPixmap | CWEventMask, &a);
    XSizeHints* hints = XAllocSizeHints();
    if (hints) {
        hints->flags = PMinSize | PBaseSize;
        hints->min_width = hints->base_width = kIconHint;
        hints->min_height = hints->base_height = kIconHint;
        XSetWMNormalHints(dpy, m.icon, hints);
        XFree(hints);
    }
    XStoreName(dpy, m.icon, tipText.c_str());
    XChangeProperty(dpy, m.icon, m.netWmName, m.utf8, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(tipText.data()), static_cast<int>(tipText.size()));
    XClassHint cls{const_cast<char*>("orvanta-connect-tray"), const_cast<char*>("OrvantaConnect")};
    XSetClassHint(dpy, m.icon, &cls);
    const long info[2] = {0, kXembedMapped};
    XChangeProperty(dpy, m.icon, m.xembedInfo, m.xembedInfo, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(info), 2);
    m.gc = XCreateGC(dpy, m.icon, 0, nullptr);
    m.font = XLoadQueryFont(dpy, "fixed");
    if (m.font) XSetFont(dpy, m.gc, m.font->fid);
    // A tray that starts later announces itself with a MANAGER message on the root window.
    XSelectInput(dpy, m.root, StructureNotifyMask);
    m.Dock();
    return t;
}

TrayIcon::~TrayIcon() {
    if (!impl_ || !impl_->dpy) return;
    Impl& m = *impl_;
    m.CloseMenu();
    m.HideTip();
    if (m.font) XFreeFont(m.dpy, m.font);
    if (m.gc) XFreeGC(m.dpy, m.gc);
    XDestroyWindow(m.dpy, m.icon);  // the host drops the embedded icon when it goes
    XCloseDisplay(m.dpy);
}

bool TrayIcon::Docked() const { return impl_ && impl_->docked; }

TrayEvents TrayIcon::Pump() {
    TrayEvents out;
    Impl& m = *impl_;
    while (XPending(m.dpy)) {
        XEvent ev;
        XNextEvent(m.dpy, &ev);
        switch (ev.type) {
        case ClientMessage:
            if (ev.xclient.message_type == m.manager && static_cast<Atom>(ev.xclient.data.l[1]) == m.selection) {
                if (!m.docked) m.Dock();
            } else if (ev.xclient.message_type == m.xembed && ev.xclient.window == m.icon &&
                       ev.xclient.data.l[1] == kXembedEmbeddedNotify) {
                m.docked = true;
            }
            break;
        case ReparentNotify:
            if (ev.xreparent.window == m.icon) {
                const bool wasDocked = m.docked;
                m.docked = ev.xreparent.parent != m.root;
                if (wasDocked && !m.docked) out.hostLost = true;
                // A dying host hands its embedded windows back to the root, mapped: take
                // the icon off the screen until a new host docks it.
                if (!m.docked) XUnmapWindow(m.dpy, m.icon);
            }
            break;
        case DestroyNotify:
            if (ev.xdestroywindow.window == m.owner && m.owner != 0) {
                m.owner = 0;
                // The icon may already have been handed back to the root (ReparentNotify
                // first); either way the host that showed it is gone.
                out.hostLost = true;
                m.docked = false;
                m.CloseMenu();
                m.HideTip();
            }
            break;
        case ConfigureNotify:
            if (ev.xconfigure.window == m.icon) {
                m.width = ev.xconfigure.width;
                m.height = ev.xconfigure.height;
            }
            break;
        case Expose:
            if (ev.xexpose.count != 0) break;
            if (ev.xexpose.window == m.icon) m.DrawIcon();
            if (ev.xexpose.window == m.menu) m.DrawMenu();
            if (ev.xexpose.window == m.tip && m.tip) {
                XSetForeground(m.dpy, m.gc, BlackPixel(m.dpy, m.screen));
                XDrawString(m.dpy, m.tip, m.gc, 4, 3 + (m.font ? m.font->ascent : 10), m.tipText.c_str(),
                            static_cast<int>(m.tipText.size()));
            }
            break;
        case EnterNotify:
            if (ev.xcrossing.window == m.icon) {
                m.pointerInside = true;
                m.enteredAt = std::chrono::steady_clock::now();
            }
            break;
        case LeaveNotify:
            if (ev.xcrossing.window == m.icon) {
                m.pointerInside = false;
                m.HideTip();
            }
            break;
        case MotionNotify:
            if (ev.xmotion.window == m.menu && m.menu) {
                const bool hot = ev.xmotion.x >= 0 && ev.xmotion.y >= 0 && ev.xmotion.x < m.menuWidth &&
                                 ev.xmotion.y < m.menuHeight;
                if (hot != m.menuHot) {
                    m.menuHot = hot;
                    m.DrawMenu();
                }
            }
            break;
        case ButtonPress:
            m.HideTip();
            if (m.menu && ev.xbutton.window == m.menu) {
                const bool inside = ev.xbutton.x >= 0 && ev.xbutton.y >= 0 && ev.xbutton.x < m.menuWidth &&
                                    ev.xbutton.y < m.menuHeight;
                if (!inside) m.CloseMenu();  // a click elsewhere dismisses the menu
            } else if (ev.xbutton.window == m.icon && ev.xbutton.button == Button1) {
                if (m.lastPress != 0 && ev.xbutton.time - m.lastPress <= kDoubleClickMs) {
                    out.restoreRequested = true;
                    m.lastPress = 0;
                } else {
                    m.lastPress = ev.xbutton.time;
                }
            }
            break;
        case ButtonRelease:
            if (m.menu && ev.xbutton.window == m.menu) {
                const bool inside = ev.xbutton.x >= 0 && ev.xbutton.y >= 0 && ev.xbutton.x < m.menuWidth &&
                                    ev.xbutton.y < m.menuHeight;
                if (inside) {
                    out.restoreRequested = true;
                    m.CloseMenu();
                }
            } else if (ev.xbutton.window == m.icon && ev.xbutton.button == Button3) {
                m.OpenMenu(ev.xbutton.x_root, ev.xbutton.y_root);
            }
            break;
        default:
            break;
        }
    }
    if (m.pointerInside && !m.tip && !m.menu &&
        std::chrono::steady_clock::now() - m.enteredAt > std::chrono::milliseconds(kTipDelayMs)) {
        m.ShowTip();
    }
    return out;
}

}  // namespace platform
