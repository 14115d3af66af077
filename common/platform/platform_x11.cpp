#include "platform/platform.h"

#include <QByteArray>

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace platform {

namespace {

template <typename T> using Reply = std::unique_ptr<T, decltype(&std::free)>;

template <typename T> Reply<T> owned(T *reply)
{
    return Reply<T>(reply, &std::free);
}

// Window-manager frames put client windows two levels below the root.
constexpr int searchDepth = 3;

constexpr uint32_t iconicState = 3;

class X11Lookup
{
public:
    explicit X11Lookup(xcb_connection_t *connection) : c(connection)
    {
        netWmName = atom("_NET_WM_NAME");
        utf8String = atom("UTF8_STRING");
        netWmState = atom("_NET_WM_STATE");
        netWmStateHidden = atom("_NET_WM_STATE_HIDDEN");
        wmState = atom("WM_STATE");
    }

    bool visibleWindowTitled(const QString &title)
    {
        const xcb_setup_t *setup = xcb_get_setup(c);
        for (auto screens = xcb_setup_roots_iterator(setup); screens.rem;
             xcb_screen_next(&screens)) {
            std::vector<xcb_window_t> level{screens.data->root};
            for (int depth = 0; depth < searchDepth && !level.empty(); ++depth) {
                std::vector<xcb_window_t> next;
                for (const xcb_window_t parent : level) {
                    for (const xcb_window_t window : children(parent)) {
                        if (windowTitle(window) == title && isVisible(window))
                            return true;
                        next.push_back(window);
                    }
                }
                level.swap(next);
            }
        }
        return false;
    }

private:
    xcb_atom_t atom(const char *name)
    {
        auto reply = owned(xcb_intern_atom_reply(
            c, xcb_intern_atom(c, 0, static_cast<uint16_t>(strlen(name)), name), nullptr));
        return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
    }

    std::vector<xcb_window_t> children(xcb_window_t window)
    {
        auto reply = owned(xcb_query_tree_reply(c, xcb_query_tree(c, window), nullptr));
        if (!reply)
            return {};
        const xcb_window_t *first = xcb_query_tree_children(reply.get());
        return {first, first + xcb_query_tree_children_length(reply.get())};
    }

    Reply<xcb_get_property_reply_t> property(xcb_window_t window, xcb_atom_t name, xcb_atom_t type)
    {
        return owned(xcb_get_property_reply(c, xcb_get_property(c, 0, window, name, type, 0, 4096),
                                            nullptr));
    }

    QString windowTitle(xcb_window_t window)
    {
        if (netWmName != XCB_ATOM_NONE) {
            auto reply = property(window, netWmName, utf8String);
            if (reply && reply->type == utf8String && reply->format == 8)
                return QString::fromUtf8(
                    static_cast<const char *>(xcb_get_property_value(reply.get())),
                    xcb_get_property_value_length(reply.get()));
        }
        auto reply = property(window, XCB_ATOM_WM_NAME, XCB_GET_PROPERTY_TYPE_ANY);
        if (!reply || reply->type == XCB_ATOM_NONE || reply->format != 8)
            return {};
        const auto *text = static_cast<const char *>(xcb_get_property_value(reply.get()));
        const int length = xcb_get_property_value_length(reply.get());
        if (reply->type == utf8String)
            return QString::fromUtf8(text, length);
        return QString::fromLatin1(text, length);
    }

    bool isVisible(xcb_window_t window)
    {
        auto attributes = owned(
            xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, window), nullptr));
        if (!attributes || attributes->map_state != XCB_MAP_STATE_VIEWABLE)
            return false;
        if (netWmState != XCB_ATOM_NONE) {
            auto state = property(window, netWmState, XCB_ATOM_ATOM);
            if (state && state->type == XCB_ATOM_ATOM && state->format == 32) {
                const auto *atoms =
                    static_cast<const xcb_atom_t *>(xcb_get_property_value(state.get()));
                const int count = xcb_get_property_value_length(state.get()) / 4;
                for (int i = 0; i < count; ++i) {
                    if (atoms[i] == netWmStateHidden)
                        return false;
                }
            }
        }
        if (wmState != XCB_ATOM_NONE) {
            auto state = property(window, wmState, wmState);
            if (state && state->format == 32 && xcb_get_property_value_length(state.get()) >= 4 &&
                *static_cast<const uint32_t *>(xcb_get_property_value(state.get())) == iconicState)
                return false;
        }
        return true;
    }

    xcb_connection_t *c;
    xcb_atom_t netWmName = XCB_ATOM_NONE;
    xcb_atom_t utf8String = XCB_ATOM_NONE;
    xcb_atom_t netWmState = XCB_ATOM_NONE;
    xcb_atom_t netWmStateHidden = XCB_ATOM_NONE;
    xcb_atom_t wmState = XCB_ATOM_NONE;
};

} // namespace

namespace {

using Connection = std::unique_ptr<xcb_connection_t, decltype(&xcb_disconnect)>;

Connection connectToDisplay()
{
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        return Connection(nullptr, &xcb_disconnect);
    Connection connection(xcb_connect(nullptr, nullptr), &xcb_disconnect);
    if (xcb_connection_has_error(connection.get()))
        connection.reset();
    return connection;
}

} // namespace

bool isTopLevelWindowVisible(const QString &title)
{
    if (title.isEmpty())
        return false;
    const Connection connection = connectToDisplay();
    return connection && X11Lookup(connection.get()).visibleWindowTitled(title);
}

bool canLookUpWindows()
{
    return connectToDisplay() != nullptr;
}

} // namespace platform
