// Other processes' windows and the display modes through X11 (xcb), where the launcher runs on an
// X server. Elsewhere (Wayland, offscreen) there is no way to see other programs' windows: the
// operations then report that nothing was found, as their contracts allow.

#include "windows_x11.h"

#include <QGuiApplication>
#include <QThread>
#include <QtGui/qguiapplication_platform.h>
#include <cstdlib>
#include <cstring>
#include <xcb/randr.h>
#include <xcb/xcb.h>

namespace platform::x11 {

namespace {

xcb_connection_t *connection()
{
    auto *app = qobject_cast<QGuiApplication *>(QCoreApplication::instance());
    if (!app)
        return nullptr;
    auto *native = app->nativeInterface<QNativeInterface::QX11Application>();
    return native ? native->connection() : nullptr;
}

xcb_window_t rootOf(xcb_connection_t *c)
{
    const xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    return screen ? screen->root : 0;
}

xcb_atom_t atom(xcb_connection_t *c, const char *name)
{
    xcb_intern_atom_reply_t *r =
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 1, uint16_t(std::strlen(name)), name), nullptr);
    const xcb_atom_t a = r ? r->atom : xcb_atom_t(XCB_ATOM_NONE);
    std::free(r);
    return a;
}

// The 32-bit values of a window property (a window list, a pid, ...).
QList<quint32> cardinals(xcb_connection_t *c, xcb_window_t w, xcb_atom_t property, xcb_atom_t type)
{
    QList<quint32> out;
    if (property == XCB_ATOM_NONE)
        return out;
    xcb_get_property_reply_t *r =
        xcb_get_property_reply(c, xcb_get_property(c, 0, w, property, type, 0, 4096), nullptr);
    if (r && r->format == 32) {
        const auto *v = static_cast<const quint32 *>(xcb_get_property_value(r));
        const int n = xcb_get_property_value_length(r) / 4;
        for (int i = 0; i < n; ++i)
            out << v[i];
    }
    std::free(r);
    return out;
}

QList<xcb_window_t> topLevels(xcb_connection_t *c, xcb_window_t root)
{
    // With a window manager its client list names the real application windows; without one the
    // application windows are the root's own children.
    QList<xcb_window_t> out;
    for (quint32 w : cardinals(c, root, atom(c, "_NET_CLIENT_LIST"), XCB_ATOM_WINDOW))
        out << xcb_window_t(w);
    if (!out.isEmpty())
        return out;
    xcb_query_tree_reply_t *tree = xcb_query_tree_reply(c, xcb_query_tree(c, root), nullptr);
    if (tree) {
        const xcb_window_t *children = xcb_query_tree_children(tree);
        for (int i = 0; i < xcb_query_tree_children_length(tree); ++i)
            out << children[i];
    }
    std::free(tree);
    return out;
}

} // namespace

bool available()
{
    return connection() != nullptr;
}

QList<WindowHandle> windowsOf(const QList<qint64> &pids)
{
    xcb_connection_t *c = connection();
    if (!c || pids.isEmpty())
        return {};
    const xcb_window_t root = rootOf(c);
    const xcb_atom_t pidAtom = atom(c, "_NET_WM_PID");
    QList<QPair<qint64, xcb_window_t>> found;
    for (xcb_window_t w : topLevels(c, root)) {
        const QList<quint32> pid = cardinals(c, w, pidAtom, XCB_ATOM_CARDINAL);
        if (pid.isEmpty() || !pids.contains(qint64(pid.first())))
            continue;
        xcb_get_window_attributes_reply_t *attr =
            xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, w), nullptr);
        const bool visible = attr && attr->map_state == XCB_MAP_STATE_VIEWABLE;
        std::free(attr);
        if (!visible || !cardinals(c, w, XCB_ATOM_WM_TRANSIENT_FOR, XCB_ATOM_WINDOW).isEmpty())
            continue;
        xcb_get_geometry_reply_t *g = xcb_get_geometry_reply(c, xcb_get_geometry(c, w), nullptr);
        const qint64 area = g ? qint64(g->width) * g->height : 0;
        std::free(g);
        found.append({area, w});
    }
    std::stable_sort(found.begin(), found.end(),
                     [](const auto &a, const auto &b) { return a.first > b.first; });
    QList<WindowHandle> out;
    for (const auto &f : found)
        out << WindowHandle(f.second);
    return out;
}

bool forceForeground(WindowHandle window)
{
    xcb_connection_t *c = connection();
    if (!c || window == 0)
        return false;
    const auto w = xcb_window_t(window);
    const xcb_window_t root = rootOf(c);
    const xcb_atom_t activeAtom = atom(c, "_NET_ACTIVE_WINDOW");
    const bool managed = !cardinals(c, root, atom(c, "_NET_SUPPORTING_WM_CHECK"), XCB_ATOM_WINDOW).isEmpty();

    const uint32_t above = XCB_STACK_MODE_ABOVE;
    xcb_map_window(c, w);
    xcb_configure_window(c, w, XCB_CONFIG_WINDOW_STACK_MODE, &above);
    if (managed) {
        // Ask the window manager, as a pager would (source 2), to activate the window.
        xcb_client_message_event_t ev{};
        ev.response_type = XCB_CLIENT_MESSAGE;
        ev.format = 32;
        ev.window = w;
        ev.type = activeAtom;
        ev.data.data32[0] = 2;
        ev.data.data32[1] = XCB_CURRENT_TIME;
        xcb_send_event(c, 0, root, XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                       reinterpret_cast<const char *>(&ev));
    } else {
        xcb_set_input_focus(c, XCB_INPUT_FOCUS_POINTER_ROOT, w, XCB_CURRENT_TIME);
    }
    xcb_flush(c);

    // The window manager acts on its own time: give it a moment to report the change.
    for (int i = 0; i < 40; ++i) {
        if (managed) {
            const QList<quint32> active = cardinals(c, root, activeAtom, XCB_ATOM_WINDOW);
            if (!active.isEmpty() && active.first() == w)
                return true;
        } else {
            xcb_get_input_focus_reply_t *f = xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr);
            const bool focused = f && f->focus == w;
            std::free(f);
            if (focused)
                return true;
        }
        QThread::msleep(5);
    }
    return false;
}

QList<QSize> displayModes()
{
    QList<QSize> modes;
    xcb_connection_t *c = connection();
    if (!c)
        return modes;
    xcb_randr_get_screen_resources_reply_t *res =
        xcb_randr_get_screen_resources_reply(c, xcb_randr_get_screen_resources(c, rootOf(c)), nullptr);
    if (!res)
        return modes;
    const xcb_randr_mode_info_t *info = xcb_randr_get_screen_resources_modes(res);
    for (int i = 0; i < xcb_randr_get_screen_resources_modes_length(res); ++i)
        modes << QSize(info[i].width, info[i].height);
    std::free(res);
    return modes;
}

} // namespace platform::x11
