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

xcb_atom_t atom(xcb_connection_t *connection, const char *name)
{
    const auto reply = owned(xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 0, std::strlen(name), name), nullptr));
    return reply ? reply->atom : XCB_NONE;
}

} // namespace

bool closeWindow(const QString &title)
{
    const auto connection = std::unique_ptr<xcb_connection_t, decltype(&xcb_disconnect)>(
        xcb_connect(nullptr, nullptr), &xcb_disconnect);
    if (xcb_connection_has_error(connection.get()))
        return false;
    xcb_connection_t *c = connection.get();
    const xcb_atom_t name = atom(c, "_NET_WM_NAME");
    const xcb_atom_t protocols = atom(c, "WM_PROTOCOLS");
    const xcb_atom_t closeRequest = atom(c, "WM_DELETE_WINDOW");
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    const QByteArray wanted = title.toUtf8();

    const auto tree = owned(xcb_query_tree_reply(c, xcb_query_tree(c, root), nullptr));
    if (!tree)
        return false;
    const xcb_window_t *windows = xcb_query_tree_children(tree.get());
    bool asked = false;
    for (int i = 0; i < xcb_query_tree_children_length(tree.get()); ++i) {
        const auto property = owned(xcb_get_property_reply(
            c, xcb_get_property(c, 0, windows[i], name, XCB_GET_PROPERTY_TYPE_ANY, 0, 1024),
            nullptr));
        if (!property ||
            QByteArray(static_cast<const char *>(xcb_get_property_value(property.get())),
                       xcb_get_property_value_length(property.get())) != wanted)
            continue;
        xcb_client_message_event_t event = {};
        event.response_type = XCB_CLIENT_MESSAGE;
        event.format = 32;
        event.window = windows[i];
        event.type = protocols;
        event.data.data32[0] = closeRequest;
        event.data.data32[1] = XCB_CURRENT_TIME;
        xcb_send_event(c, 0, windows[i], XCB_EVENT_MASK_NO_EVENT,
                       reinterpret_cast<const char *>(&event));
        asked = true;
    }
    xcb_flush(c);
    return asked;
}
