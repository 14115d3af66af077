#include "windowcloser.h"

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

template <typename T> std::unique_ptr<T, decltype(&std::free)> owned(T *reply)
{
    return {reply, &std::free};
}

} // namespace

bool closeWindow(const QString &title, qint64 pid)
{
    const std::unique_ptr<xcb_connection_t, decltype(&xcb_disconnect)> connection(
        xcb_connect(nullptr, nullptr), &xcb_disconnect);
    xcb_connection_t *c = connection.get();
    if (xcb_connection_has_error(c))
        return false;
    const auto atom = [c](const char *name) {
        const auto reply = owned(
            xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, std::strlen(name), name), nullptr));
        return reply ? reply->atom : XCB_NONE;
    };
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    const auto tree = owned(xcb_query_tree_reply(c, xcb_query_tree(c, root), nullptr));
    if (!tree)
        return false;
    const xcb_window_t *windows = xcb_query_tree_children(tree.get());
    bool asked = false;
    for (int i = 0; i < xcb_query_tree_children_length(tree.get()); ++i) {
        const auto name =
            owned(xcb_get_property_reply(c,
                                         xcb_get_property(c, 0, windows[i], atom("_NET_WM_NAME"),
                                                          XCB_GET_PROPERTY_TYPE_ANY, 0, 1024),
                                         nullptr));
        const auto owner = owned(xcb_get_property_reply(
            c, xcb_get_property(c, 0, windows[i], atom("_NET_WM_PID"), XCB_ATOM_CARDINAL, 0, 1),
            nullptr));
        if (!name || !owner || xcb_get_property_value_length(owner.get()) != 4 ||
            *static_cast<const uint32_t *>(xcb_get_property_value(owner.get())) != pid ||
            QByteArray(static_cast<const char *>(xcb_get_property_value(name.get())),
                       xcb_get_property_value_length(name.get())) != title.toUtf8())
            continue;
        xcb_client_message_event_t event = {};
        event.response_type = XCB_CLIENT_MESSAGE;
        event.format = 32;
        event.window = windows[i];
        event.type = atom("WM_PROTOCOLS");
        event.data.data32[0] = atom("WM_DELETE_WINDOW");
        xcb_send_event(c, 0, windows[i], XCB_EVENT_MASK_NO_EVENT,
                       reinterpret_cast<const char *>(&event));
        asked = true;
    }
    xcb_flush(c);
    return asked;
}
