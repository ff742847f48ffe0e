// For end-to-end runs: closes any message box that appears under wine and
// prints "caption: text" for it, one line each, until killed.

#include <cstdio>

#include "dialog_watch.hpp"

int main() {
    for (;;) {
        for (const auto& box : kestrune::test::close_message_boxes(0)) {
            std::printf("%s: %s\n", box.caption.c_str(), box.text.c_str());
            std::fflush(stdout);
        }
        ::Sleep(200);
    }
}
