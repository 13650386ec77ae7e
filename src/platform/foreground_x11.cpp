// Which process owns the window in front, through X11 (xcb): the window manager's
// _NET_ACTIVE_WINDOW, or the input focus where no window manager runs, and that window's
// _NET_WM_PID. Without an X server (offscreen, Wayland) nothing can be told.

#include "platform.h"

#include <QGuiApplication>
#include <QtGui/qguiapplication_platform.h>
#include <cstdlib>
#include <cstring>
#include <unistd.h>
#include <xcb/xcb.h>

namespace platform {

namespace {

xcb_atom_t internAtom(xcb_connection_t *c, const char *name)
{
    xcb_intern_atom_reply_t *r =
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 1, uint16_t(std::strlen(name)), name), nullptr);
    const xcb_atom_t a = r ? r->atom : xcb_atom_t(XCB_ATOM_NONE);
    std::free(r);
    return a;
}

// The first 32-bit value of a window property, or 0.
quint32 firstCardinal(xcb_connection_t *c, xcb_window_t w, xcb_atom_t property, xcb_atom_t type)
{
    if (property == XCB_ATOM_NONE)
        return 0;
    xcb_get_property_reply_t *r =
        xcb_get_property_reply(c, xcb_get_property(c, 0, w, property, type, 0, 1), nullptr);
    quint32 value = 0;
    if (r && r->format == 32 && xcb_get_property_value_length(r) >= 4)
        value = *static_cast<const quint32 *>(xcb_get_property_value(r));
    std::free(r);
    return value;
}

// The focus may sit on a child of an application's top-level window: climb to the window whose
// parent is the root, which carries the pid.
xcb_window_t topLevelOf(xcb_connection_t *c, xcb_window_t w, xcb_window_t root)
{
    for (int depth = 0; w != 0 && w != root && depth < 64; ++depth) {
        xcb_query_tree_reply_t *tree = xcb_query_tree_reply(c, xcb_query_tree(c, w), nullptr);
        if (!tree)
            return 0;
        const xcb_window_t parent = tree->parent;
        std::free(tree);
        if (parent == root || parent == 0)
            return w;
        w = parent;
    }
    return 0;
}

} // namespace

bool foregroundIsOtherProcess()
{
    auto *app = qobject_cast<QGuiApplication *>(QCoreApplication::instance());
    auto *native = app ? app->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    xcb_connection_t *c = native ? native->connection() : nullptr;
    if (!c)
        return false;
    const xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    if (!screen)
        return false;
    const xcb_window_t root = screen->root;

    xcb_window_t front = 0;
    if (firstCardinal(c, root, internAtom(c, "_NET_SUPPORTING_WM_CHECK"), XCB_ATOM_WINDOW) != 0) {
        front = firstCardinal(c, root, internAtom(c, "_NET_ACTIVE_WINDOW"), XCB_ATOM_WINDOW);
    } else {
        xcb_get_input_focus_reply_t *f = xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr);
        // None (0) and PointerRoot (1) name no window.
        if (f && f->focus > 1)
            front = topLevelOf(c, f->focus, root);
        std::free(f);
    }
    if (front == 0)
        return false;
    const quint32 pid = firstCardinal(c, front, internAtom(c, "_NET_WM_PID"), XCB_ATOM_CARDINAL);
    return pid != 0 && pid_t(pid) != ::getpid();
}

} // namespace platform
