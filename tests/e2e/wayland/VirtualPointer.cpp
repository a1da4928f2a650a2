// qb-wl-pointer [COMMANDS]: a pointer for end-to-end tests on a wlroots compositor, through its
// virtual-pointer protocol. It reads commands from the file COMMANDS (a FIFO) or its standard
// input, one a line, and answers each on its standard output with "ok" (or "error ...") once the
// compositor has taken it:
//   move X Y          the pointer to (X, Y) of the output, in its pixels
//   press BUTTON      BUTTON is left, right or middle
//   release BUTTON
//   click BUTTON      press and release
// The pointer lives as long as the program: the seat has a pointer from its start.
#include "wlr-virtual-pointer-unstable-v1-client-protocol.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <linux/input-event-codes.h>
#include <sstream>
#include <string>
#include <wayland-client.h>

namespace {

struct Globals {
    wl_seat* seat = nullptr;
    zwlr_virtual_pointer_manager_v1* manager = nullptr;
    wl_output* output = nullptr;
    int width = 0, height = 0;
};

void OutputGeometry(void*, wl_output*, int32_t, int32_t, int32_t, int32_t, int32_t, const char*, const char*, int32_t) {
}
void OutputMode(void* data, wl_output*, uint32_t flags, int32_t width, int32_t height, int32_t) {
    auto* g = static_cast<Globals*>(data);
    if (flags & WL_OUTPUT_MODE_CURRENT) {
        g->width = width;
        g->height = height;
    }
}
void OutputDone(void*, wl_output*) {}
void OutputScale(void*, wl_output*, int32_t) {}
const wl_output_listener OutputListener = {OutputGeometry, OutputMode, OutputDone, OutputScale, nullptr, nullptr};

void Global(void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t) {
    auto* g = static_cast<Globals*>(data);
    if (!std::strcmp(interface, wl_seat_interface.name) && !g->seat)
        g->seat = static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
    else if (!std::strcmp(interface, zwlr_virtual_pointer_manager_v1_interface.name))
        g->manager = static_cast<zwlr_virtual_pointer_manager_v1*>(
            wl_registry_bind(registry, name, &zwlr_virtual_pointer_manager_v1_interface, 1));
    else if (!std::strcmp(interface, wl_output_interface.name) && !g->output) {
        g->output = static_cast<wl_output*>(wl_registry_bind(registry, name, &wl_output_interface, 2));
        wl_output_add_listener(g->output, &OutputListener, g);
    }
}
void GlobalRemove(void*, wl_registry*, uint32_t) {}
const wl_registry_listener RegistryListener = {Global, GlobalRemove};

uint32_t Now() {
    using namespace std::chrono;
    return static_cast<uint32_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

int Button(const std::string& name) {
    if (name == "left") return BTN_LEFT;
    if (name == "right") return BTN_RIGHT;
    if (name == "middle") return BTN_MIDDLE;
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    wl_display* display = wl_display_connect(nullptr);
    if (!display) {
        std::fprintf(stderr, "qb-wl-pointer: no Wayland display\n");
        return 1;
    }
    Globals g;
    wl_registry* registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &RegistryListener, &g);
    wl_display_roundtrip(display);
    wl_display_roundtrip(display);
    if (!g.manager || g.width <= 0) {
        std::fprintf(stderr, "qb-wl-pointer: the compositor offers no virtual pointer\n");
        return 1;
    }
    zwlr_virtual_pointer_v1* pointer = zwlr_virtual_pointer_manager_v1_create_virtual_pointer(g.manager, g.seat);
    wl_display_roundtrip(display);
    std::printf("ready %d %d\n", g.width, g.height);
    std::fflush(stdout);

    std::ifstream file;
    if (argc > 1) file.open(argv[1]);
    std::istream& commands = argc > 1 ? static_cast<std::istream&>(file) : std::cin;
    std::string line;
    while (std::getline(commands, line)) {
        std::istringstream in(line);
        std::string verb, arg;
        in >> verb;
        bool ok = true;
        if (verb == "move") {
            int x = -1, y = -1;
            in >> x >> y;
            ok = x >= 0 && y >= 0 && x < g.width && y < g.height;
            if (ok) {
                zwlr_virtual_pointer_v1_motion_absolute(pointer, Now(), static_cast<uint32_t>(x),
                                                        static_cast<uint32_t>(y), static_cast<uint32_t>(g.width),
                                                        static_cast<uint32_t>(g.height));
                zwlr_virtual_pointer_v1_frame(pointer);
            }
        } else if (verb == "press" || verb == "release" || verb == "click") {
            in >> arg;
            const int button = Button(arg);
            ok = button >= 0;
            if (ok && verb != "release") {
                zwlr_virtual_pointer_v1_button(pointer, Now(), static_cast<uint32_t>(button),
                                               WL_POINTER_BUTTON_STATE_PRESSED);
                zwlr_virtual_pointer_v1_frame(pointer);
            }
            if (ok && verb != "press") {
                zwlr_virtual_pointer_v1_button(pointer, Now(), static_cast<uint32_t>(button),
                                               WL_POINTER_BUTTON_STATE_RELEASED);
                zwlr_virtual_pointer_v1_frame(pointer);
            }
        } else {
            ok = false;
        }
        if (ok && wl_display_roundtrip(display) < 0) {
            std::printf("error the compositor went away\n");
            std::fflush(stdout);
            return 1;
        }
        std::printf(ok ? "ok\n" : "error %s\n", line.c_str());
        std::fflush(stdout);
    }
    zwlr_virtual_pointer_v1_destroy(pointer);
    wl_display_roundtrip(display);
    wl_display_disconnect(display);
    return 0;
}
