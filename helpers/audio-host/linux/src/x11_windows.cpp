#include "x11_windows.hpp"

#include <xcb/res.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "error_text.hpp"

namespace tamsel::host::linux_host {
namespace {

constexpr const char* CONTEXT = "enumerate application windows";

struct FreeDeleter {
    void operator()(void* p) const noexcept { std::free(p); }
};
template <class T>
using Reply = std::unique_ptr<T, FreeDeleter>;

struct ConnectionCloser {
    void operator()(xcb_connection_t* c) const noexcept { xcb_disconnect(c); }
};

std::string connection_error_text(int code) {
    switch (code) {
        case XCB_CONN_ERROR: return "X display connection failed";
        case XCB_CONN_CLOSED_EXT_NOTSUPPORTED: return "X extension not supported";
        case XCB_CONN_CLOSED_MEM_INSUFFICIENT: return "out of memory";
        case XCB_CONN_CLOSED_REQ_LEN_EXCEED: return "X request too long";
        case XCB_CONN_CLOSED_PARSE_ERR: return "cannot parse the display name";
        case XCB_CONN_CLOSED_INVALID_SCREEN: return "no such screen on the display";
        default: return "X display connection failed (code " + std::to_string(code) + ")";
    }
}

xcb_atom_t intern(xcb_connection_t* c, const char* name) {
    const xcb_intern_atom_cookie_t cookie =
        xcb_intern_atom(c, 1, static_cast<std::uint16_t>(std::strlen(name)), name);
    Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(c, cookie, nullptr));
    return reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
}

bool has_property(xcb_connection_t* c, xcb_window_t window, xcb_atom_t atom) {
    if (atom == XCB_ATOM_NONE) return false;
    const xcb_get_property_cookie_t cookie = xcb_get_property(c, 0, window, atom, XCB_GET_PROPERTY_TYPE_ANY, 0, 0);
    Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(c, cookie, nullptr));
    return reply && reply->type != XCB_ATOM_NONE;
}

std::uint32_t net_wm_pid(xcb_connection_t* c, xcb_window_t window, xcb_atom_t atom) {
    if (atom == XCB_ATOM_NONE) return 0;
    const xcb_get_property_cookie_t cookie = xcb_get_property(c, 0, window, atom, XCB_ATOM_CARDINAL, 0, 1);
    Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(c, cookie, nullptr));
    if (!reply || reply->format != 32 || xcb_get_property_value_length(reply.get()) < 4) return 0;
    std::uint32_t pid = 0;
    std::memcpy(&pid, xcb_get_property_value(reply.get()), sizeof pid);
    return pid;
}

// The pid of the local client that owns `window`, through X-Resource; 0 when unknown.
std::uint32_t resource_client_pid(xcb_connection_t* c, xcb_window_t window) {
    xcb_res_client_id_spec_t request{};
    request.client = window;
    request.mask = XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID;
    const xcb_res_query_client_ids_cookie_t cookie = xcb_res_query_client_ids(c, 1, &request);
    Reply<xcb_res_query_client_ids_reply_t> reply(xcb_res_query_client_ids_reply(c, cookie, nullptr));
    if (!reply) return 0;
    for (xcb_res_client_id_value_iterator_t it = xcb_res_query_client_ids_ids_iterator(reply.get()); it.rem > 0;
         xcb_res_client_id_value_next(&it)) {
        // Only the local-client-pid kind was asked for; its value is one 32-bit pid.
        if (xcb_res_client_id_value_value_length(it.data) != 1) continue;
        return *xcb_res_client_id_value_value(it.data);
    }
    return 0;
}

Reply<xcb_query_tree_reply_t> query_tree(xcb_connection_t* c, xcb_window_t window) {
    return Reply<xcb_query_tree_reply_t>(xcb_query_tree_reply(c, xcb_query_tree(c, window), nullptr));
}

// The first window at or below `window`, within `depth` levels, that carries WM_STATE;
// XCB_WINDOW_NONE when there is none.
xcb_window_t find_managed_window(xcb_connection_t* c, xcb_window_t window, xcb_atom_t wm_state, int depth) {
    if (has_property(c, window, wm_state)) return window;
    if (depth == 0) return XCB_WINDOW_NONE;
    Reply<xcb_query_tree_reply_t> tree = query_tree(c, window);
    if (!tree) return XCB_WINDOW_NONE;
    const xcb_window_t* children = xcb_query_tree_children(tree.get());
    const int count = xcb_query_tree_children_length(tree.get());
    for (int i = 0; i < count; ++i) {
        const xcb_window_t found = find_managed_window(c, children[i], wm_state, depth - 1);
        if (found != XCB_WINDOW_NONE) return found;
    }
    return XCB_WINDOW_NONE;
}

// The application's window for a top-level window: the managed window at or below it (a
// window manager's frame holds it), else the top-level itself (no window manager).
xcb_window_t client_window(xcb_connection_t* c, xcb_window_t top_level, xcb_atom_t wm_state) {
    if (wm_state == XCB_ATOM_NONE) return top_level;
    const xcb_window_t managed = find_managed_window(c, top_level, wm_state, 2);
    return managed != XCB_WINDOW_NONE ? managed : top_level;
}

}  // namespace

Result<std::vector<std::uint32_t>> mapped_top_level_window_owners() {
    const char* display = std::getenv("DISPLAY");
    if (display == nullptr || *display == '\0') {
        return fail(join_context(CONTEXT, "no X display (DISPLAY is not set)"));
    }
    int screen_number = 0;
    std::unique_ptr<xcb_connection_t, ConnectionCloser> connection(xcb_connect(display, &screen_number));
    xcb_connection_t* c = connection.get();
    if (const int error = xcb_connection_has_error(c); error != 0) {
        return fail(join_context(CONTEXT, connection_error_text(error) + " (DISPLAY=" + display + ")"));
    }
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int i = 0; i < screen_number && screens.rem > 0; ++i) xcb_screen_next(&screens);
    if (screens.rem == 0) return fail(join_context(CONTEXT, connection_error_text(XCB_CONN_CLOSED_INVALID_SCREEN)));
    const xcb_window_t root = screens.data->root;

    Reply<xcb_query_tree_reply_t> tree = query_tree(c, root);
    if (!tree) return fail(join_context(CONTEXT, "cannot read the root window's children"));
    const xcb_window_t* children = xcb_query_tree_children(tree.get());
    const int count = xcb_query_tree_children_length(tree.get());

    const xcb_atom_t pid_atom = intern(c, "_NET_WM_PID");
    const xcb_atom_t wm_state = intern(c, "WM_STATE");
    const xcb_query_extension_reply_t* res = xcb_get_extension_data(c, &xcb_res_id);
    const bool have_resource_extension = res != nullptr && res->present != 0;

    // Ask for every child's attributes at once, then read the answers.
    std::vector<xcb_get_window_attributes_cookie_t> cookies;
    cookies.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) cookies.push_back(xcb_get_window_attributes(c, children[i]));

    std::vector<std::uint32_t> owners;
    for (int i = 0; i < count; ++i) {
        Reply<xcb_get_window_attributes_reply_t> attributes(
            xcb_get_window_attributes_reply(c, cookies[static_cast<std::size_t>(i)], nullptr));
        if (!attributes || attributes->map_state != XCB_MAP_STATE_VIEWABLE ||
            attributes->_class == XCB_WINDOW_CLASS_INPUT_ONLY) {
            continue;
        }
        const xcb_window_t client = client_window(c, children[i], wm_state);
        std::uint32_t pid = net_wm_pid(c, client, pid_atom);
        if (pid == 0 && have_resource_extension) pid = resource_client_pid(c, client);
        owners.push_back(pid);
    }
    if (const int error = xcb_connection_has_error(c); error != 0) {
        return fail(join_context(CONTEXT, connection_error_text(error)));
    }
    return owners;
}

}  // namespace tamsel::host::linux_host
