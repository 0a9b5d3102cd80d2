// Watches the X server from outside for one process's window: when it is
// mapped and when it first shows a painted guide. Talks to X directly, so
// that watching costs the measured process nothing but the X server's time.
//
//   kalu-bench-probe [--title PREFIX] [--timeout SECONDS]
//
// Prints "ready" once connected, then reads the process id on stdin and
// prints "mapped NS" and "painted NS" (CLOCK_MONOTONIC nanoseconds, the clock
// Python's time.monotonic_ns() reads), or "timeout".

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>
#include <memory>
#include <string>

#include <unistd.h>
#include <xcb/xcb.h>

#include "painted.h"

namespace {

long long nowNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

template<typename T>
using Reply = std::unique_ptr<T, decltype(&std::free)>;

template<typename T>
Reply<T> own(T *reply)
{
    return Reply<T>(reply, &std::free);
}

xcb_atom_t atom(xcb_connection_t *c, const char *name)
{
    auto reply = own(xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, std::strlen(name), name), nullptr));
    return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
}

struct Found
{
    xcb_window_t window = XCB_WINDOW_NONE;
    int width = 0, height = 0;
};

class Watcher
{
public:
    explicit Watcher(xcb_connection_t *c)
        : m_c(c)
        , m_root(xcb_setup_roots_iterator(xcb_get_setup(c)).data->root)
        , m_pidAtom(atom(c, "_NET_WM_PID"))
        , m_nameAtom(atom(c, "_NET_WM_NAME"))
        , m_utf8(atom(c, "UTF8_STRING"))
    {
    }

    // The largest viewable top-level window of the process whose title
    // starts with the prefix.
    Found find(unsigned pid, const std::string &prefix)
    {
        Found best;
        auto tree = own(xcb_query_tree_reply(m_c, xcb_query_tree(m_c, m_root), nullptr));
        if (!tree)
            return best;
        const xcb_window_t *children = xcb_query_tree_children(tree.get());
        const int n = xcb_query_tree_children_length(tree.get());
        for (int i = 0; i < n; ++i) {
            const xcb_window_t w = children[i];
            auto attributes = own(xcb_get_window_attributes_reply(m_c, xcb_get_window_attributes(m_c, w), nullptr));
            if (!attributes || attributes->map_state != XCB_MAP_STATE_VIEWABLE)
                continue;
            auto pidReply = own(xcb_get_property_reply(
                m_c, xcb_get_property(m_c, 0, w, m_pidAtom, XCB_ATOM_CARDINAL, 0, 1), nullptr));
            if (!pidReply || xcb_get_property_value_length(pidReply.get()) != 4
                || *static_cast<const unsigned *>(xcb_get_property_value(pidReply.get())) != pid)
                continue;
            if (!prefix.empty()) {
                auto name = own(xcb_get_property_reply(
                    m_c, xcb_get_property(m_c, 0, w, m_nameAtom, m_utf8, 0, 1024), nullptr));
                if (!name)
                    continue;
                const std::string title(static_cast<const char *>(xcb_get_property_value(name.get())),
                                        xcb_get_property_value_length(name.get()));
                if (title.compare(0, prefix.size(), prefix) != 0)
                    continue;
            }
            auto geometry = own(xcb_get_geometry_reply(m_c, xcb_get_geometry(m_c, w), nullptr));
            if (geometry && geometry->width * geometry->height > best.width * best.height)
                best = {w, geometry->width, geometry->height};
        }
        return best;
    }

    bench::GuideCheck check(const Found &found)
    {
        auto image = own(xcb_get_image_reply(
            m_c, xcb_get_image(m_c, XCB_IMAGE_FORMAT_Z_PIXMAP, found.window, 0, 0, found.width, found.height, ~0u),
            nullptr));
        if (!image || image->depth < 24)
            return {};
        const int length = xcb_get_image_data_length(image.get());
        if (length < found.width * found.height * 4)
            return {};
        return bench::checkGuide(
            bench::Pixels(xcb_get_image_data(image.get()), found.width, found.height, found.width * 4));
    }

private:
    xcb_connection_t *m_c;
    xcb_window_t m_root;
    xcb_atom_t m_pidAtom, m_nameAtom, m_utf8;
};

} // namespace

int main(int argc, char **argv)
{
    std::string prefix;
    double timeout = 60;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--title") == 0)
            prefix = argv[i + 1];
        else if (std::strcmp(argv[i], "--timeout") == 0)
            timeout = std::atof(argv[i + 1]);
    }
    xcb_connection_t *c = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(c)) {
        std::fprintf(stderr, "probe: no X display\n");
        return 2;
    }
    Watcher watcher(c);
    std::printf("ready\n");
    std::fflush(stdout);
    unsigned pid = 0;
    if (!(std::cin >> pid))
        return 2;

    const long long deadline = nowNs() + static_cast<long long>(timeout * 1e9);
    bool mapped = false;
    while (nowNs() < deadline) {
        const long long at = nowNs();
        const Found found = watcher.find(pid, prefix);
        if (found.window != XCB_WINDOW_NONE) {
            if (!mapped) {
                std::printf("mapped %lld\n", at);
                std::fflush(stdout);
                mapped = true;
            }
            const bench::GuideCheck check = watcher.check(found);
            if (check.painted) {
                std::printf("painted %lld head=%d ink=%d\n", at, check.headPixels, check.ink);
                std::fflush(stdout);
                xcb_disconnect(c);
                return 0;
            }
        }
        usleep(mapped ? 8000 : 3000);
    }
    std::printf("timeout\n");
    xcb_disconnect(c);
    return 1;
}
