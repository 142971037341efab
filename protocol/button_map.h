#pragma once

// Everything that tells the panel's 76 buttons, 23 frames and their title
// labels apart, as data: one table builds the window and drives the handlers.
// Geometry is in twips; a control inside a frame is placed relative to it.

#include <span>
#include <string>
#include <string_view>

namespace kavo::panel {

enum class Kind {
    Click,        // one click sends one command
    Hold,         // sends at the press and every 100 ms while held
    End,          // ends the program
    Com,          // opens the port settings dialog
    CommandTable, // opens the command console
};

enum class Arrow { None, Up, Down, Left, Right };

enum class Tint { Teal, Green, Red, Yellow, Cyan, Orange, Pink, System };

struct Rect {
    int left, top, width, height;
};

struct Point {
    int x, y;
};

struct ButtonEntry {
    int number; // CommandN
    int frame;  // FrameN holding it, 0 for the window itself
    std::string_view caption;
    std::string_view command; // without its CR; empty for function buttons
    Kind kind;
    int repeatCode; // 1..22 for hold buttons, 0 otherwise
    Arrow arrow;
    Tint tint;
    Rect rect;
    std::string_view accessibleName; // where group and caption do not say it
};

struct FrameEntry {
    int number;
    Rect rect;
};

struct TitleEntry {
    int number; // LabelN
    int frame;
    std::string_view caption;
    Rect rect;
    bool darkRed; // the POWER title
};

std::span<const ButtonEntry> buttons();
std::span<const FrameEntry> frames();
std::span<const TitleEntry> titles();

const ButtonEntry* findButton(int number);
// Where a click lands on the button: the centre of the pixels it covers in
// the window at 96 dpi, with its frame's offset and the window's rounding.
Point centreInPixels(const ButtonEntry& button);
// The command of a repeat code, empty when the code is unknown.
std::string_view repeatCommand(int code);

// The group of a button in words: its frame's titles ("LAMP MODE", "POWER
// Management"), or the part of the window outside the frames that holds it
// ("left column", "cursor pad", "status reads", ...).
std::string groupName(const ButtonEntry& button);
// The caption, or for a picture-only arrow button its direction ("up", ...).
std::string_view shownCaption(const ButtonEntry& button);

// A frame's titles in words ("LAMP MODE", "POWER Management"), empty for a
// frame without title labels.
std::string frameTitle(int frame);
// What a screen reader says for a button: its group's title and its caption
// ("POWER ON", "AUDIO MUTE OFF"), the caption alone outside the frames, or
// the name the map gives it ("VOLUME up", "MENU ENTER").
std::string accessibleName(const ButtonEntry& button);

} // namespace kavo::panel
