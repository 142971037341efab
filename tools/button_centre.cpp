// kavo-button-centre: where a click lands on panel buttons, for scripts that
// drive the panel with a pointer (the Windows checks under Wine). For each
// button number (CommandN) it prints "X Y", the centre in the window's pixels
// at 96 dpi, one line per button.
//
//   kavo-button-centre NUMBER...
//
// Exit 0, or 2 for no argument or a number that is no button.

#include "button_map.h"

#include <charconv>
#include <iostream>
#include <string_view>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::cerr << "usage: kavo-button-centre NUMBER...\n";
        return 2;
    }
    for (int i = 1; i < argc; ++i) {
        const std::string_view text = argv[i];
        int number = 0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
        const kavo::panel::ButtonEntry* button =
            error == std::errc{} && end == text.data() + text.size()
                ? kavo::panel::findButton(number)
                : nullptr;
        if (!button) {
            std::cerr << "kavo-button-centre: no button " << text << '\n';
            return 2;
        }
        const kavo::panel::Point centre = kavo::panel::centreInPixels(*button);
        std::cout << centre.x << ' ' << centre.y << '\n';
    }
    return 0;
}
