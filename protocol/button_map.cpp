#include "button_map.h"

#include "twips_pixels.h"

#include <algorithm>
#include <array>

namespace kavo::panel {
namespace {

using enum Kind;
using enum Tint;
using A = Arrow;

// Rows of 300-twip buttons under a title in the 732-twip input, mute and screen groups.
constexpr int kRowTop = 330;
constexpr int kRowHeight = 300;
constexpr int kArrowW = 840;
constexpr int kArrowH = 255;

constexpr std::array kFrames{
    FrameEntry{1, {120, 0, 975, 1520}},       FrameEntry{2, {1200, 0, 6930, 732}},
    FrameEntry{12, {8190, 0, 2025, 732}},     FrameEntry{11, {1200, 800, 4455, 732}},
    FrameEntry{8, {5715, 800, 4495, 732}},    FrameEntry{3, {120, 1600, 1836, 732}},
    FrameEntry{4, {2016, 1600, 1836, 732}},   FrameEntry{7, {3912, 1600, 1836, 732}},
    FrameEntry{13, {5808, 1600, 1880, 732}},  FrameEntry{5, {7748, 1600, 2460, 732}},
    FrameEntry{19, {120, 2400, 1080, 1095}},  FrameEntry{17, {1260, 2400, 1080, 1095}},
    FrameEntry{16, {2400, 2400, 1080, 1095}}, FrameEntry{18, {3540, 2400, 1080, 1095}},
    FrameEntry{22, {4680, 2400, 1080, 1095}}, FrameEntry{23, {5820, 2400, 2164, 1455}},
    FrameEntry{10, {8044, 2400, 2164, 1455}}, FrameEntry{20, {1785, 3550, 1125, 1695}},
    FrameEntry{14, {2970, 3550, 1450, 1695}}, FrameEntry{21, {4480, 3550, 1280, 1695}},
    FrameEntry{6, {5820, 3920, 3465, 1330}},  FrameEntry{9, {120, 5400, 8295, 948}},
    FrameEntry{15, {120, 6960, 6105, 492}},
};

constexpr std::array kTitles{
    TitleEntry{1, 1, "POWER", {60, 90, 855, 210}, true},
    TitleEntry{2, 2, "INPUT 1", {90, 75, 3000, 210}, false},
    TitleEntry{22, 12, "INPUT 4", {90, 75, 1845, 210}, false},
    TitleEntry{21, 11, "INPUT 2", {90, 75, 3000, 210}, false},
    TitleEntry{15, 8, "INPUT 3", {90, 75, 3000, 210}, false},
    TitleEntry{4, 3, "AUDIO MUTE", {90, 75, 1656, 210}, false},
    TitleEntry{5, 4, "VIDEO MUTE", {90, 75, 1656, 210}, false},
    TitleEntry{8, 7, "FREEZE", {90, 75, 1656, 210}, false},
    TitleEntry{23, 13, "ON START", {90, 75, 1700, 210}, false},
    TitleEntry{6, 5, "SCREEN", {90, 75, 2280, 210}, false},
    TitleEntry{3, 19, "VOLUME", {60, 90, 960, 210}, false},
    TitleEntry{16, 17, "BRIGHT", {60, 90, 960, 210}, false},
    TitleEntry{17, 16, "D.ZOOM", {60, 90, 960, 210}, false},
    TitleEntry{19, 18, "ZOOM", {60, 90, 960, 210}, false},
    TitleEntry{30, 22, "FOCUS", {60, 90, 960, 210}, false},
    TitleEntry{31, 23, "LENS SHIFT", {60, 90, 2044, 210}, false},
    TitleEntry{13, 10, "KEYSTONE", {60, 90, 2044, 210}, false},
    TitleEntry{14, 20, "R/C KEY", {60, 90, 1005, 210}, false},
    TitleEntry{32, 20, "OFF", {60, 300, 1005, 210}, false},
    TitleEntry{24, 14, "POWER ", {60, 90, 1330, 210}, false},
    TitleEntry{20, 14, "Management", {60, 300, 1330, 210}, false},
    TitleEntry{18, 21, "LAMP MODE", {60, 90, 1160, 210}, false},
    TitleEntry{7, 6, "MENU", {120, 90, 840, 210}, false},
};

constexpr Rect row(int index, int count, int frameWidth) {
    const int gap = 60;
    const int width = (frameWidth - 180 - (count - 1) * gap) / count;
    return {90 + index * (width + gap), kRowTop, width, kRowHeight};
}
constexpr Rect stacked(int index, int first, int frameWidth) {
    return {90, first + index * 360, frameWidth - 180, 300};
}
constexpr Rect pairUp{120, 360, kArrowW, kArrowH};
constexpr Rect pairDown{120, 720, kArrowW, kArrowH};
constexpr Rect crossUp{662, 360, kArrowW, kArrowH};
constexpr Rect crossLeft{120, 690, kArrowW, kArrowH};
constexpr Rect crossRight{1204, 690, kArrowW, kArrowH};
constexpr Rect crossDown{662, 1020, kArrowW, kArrowH};

// Button map in screen order; this order is also the tab order.
constexpr std::array kButtons{
    ButtonEntry{17, 1, "ON", "C00", Click, 0, A::None, Green, {90, 420, 795, 300}, {}},
    ButtonEntry{18, 1, "OFF", "C01", Click, 0, A::None, Red, {90, 900, 795, 300}, {}},
    ButtonEntry{36, 2, "INPUT1", "C05", Click, 0, A::None, Teal, row(0, 5, 6930), {}},
    ButtonEntry{27, 2, "Analog RGB", "C50", Click, 0, A::None, Teal, row(1, 5, 6930), {}},
    ButtonEntry{28, 2, "SCRT", "C51", Click, 0, A::None, Teal, row(2, 5, 6930), {}},
    ButtonEntry{29, 2, "DVI (PC Digital)", "C52", Click, 0, A::None, Teal, row(3, 5, 6930), {}},
    ButtonEntry{53, 2, "DVI (PC HDCP)", "C53", Click, 0, A::None, Teal, row(4, 5, 6930), {}},
    ButtonEntry{41, 12, "NETWORK", "C08", Click, 0, A::None, Teal, row(0, 1, 2025), {}},
    ButtonEntry{15, 11, "INPUT2", "C06", Click, 0, A::None, Teal, row(0, 4, 4455), {}},
    ButtonEntry{40, 11, "VIDEO", "C23", Click, 0, A::None, Teal, row(1, 4, 4455), {}},
    ButtonEntry{64, 11, "Y,Pb/Cb,Pr/Cr", "C24", Click, 0, A::None, Teal, row(2, 4, 4455), {}},
    ButtonEntry{65, 11, "RGB", "C25", Click, 0, A::None, Teal, row(3, 4, 4455), {}},
    ButtonEntry{34, 8, "INPUT3", "C07", Click, 0, A::None, Teal, row(0, 4, 4495), {}},
    ButtonEntry{4, 8, "VIDEO", "C33", Click, 0, A::None, Teal, row(1, 4, 4495), {}},
    ButtonEntry{11, 8, "S-VIDEO", "C34", Click, 0, A::None, Teal, row(2, 4, 4495), {}},
    ButtonEntry{12, 8, "Y,Pb/Cb,Pr/Cr", "C35", Click, 0, A::None, Teal, row(3, 4, 4495), {}},
    ButtonEntry{19, 3, "ON", "C0B", Click, 0, A::None, Green, row(0, 2, 1836), {}},
    ButtonEntry{20, 3, "OFF", "C0C", Click, 0, A::None, Red, row(1, 2, 1836), {}},
    ButtonEntry{21, 4, "ON", "C0D", Click, 0, A::None, Green, row(0, 2, 1836), {}},
    ButtonEntry{22, 4, "OFF", "C0E", Click, 0, A::None, Red, row(1, 2, 1836), {}},
    ButtonEntry{25, 7, "ON", "C43", Click, 0, A::None, Green, row(0, 2, 1836), {}},
    ButtonEntry{26, 7, "OFF", "C44", Click, 0, A::None, Red, row(1, 2, 1836), {}},
    ButtonEntry{69, 13, "Enable", "C28", Click, 0, A::None, Green, row(0, 2, 1880), {}},
    ButtonEntry{70, 13, "Disable", "C29", Click, 0, A::None, Red, row(1, 2, 1880), {}},
    ButtonEntry{31, 5, "Normal", "C0F", Click, 0, A::None, Teal, row(0, 2, 2460), {}},
    ButtonEntry{32, 5, "Wide", "C10", Click, 0, A::None, Teal, row(1, 2, 2460), {}},
    ButtonEntry{1, 19, "", "C09", Hold, 1, A::Up, Yellow, pairUp, "VOLUME up"},
    ButtonEntry{2, 19, "", "C0A", Hold, 2, A::Down, Yellow, pairDown, "VOLUME down"},
    ButtonEntry{30, 17, "", "C20", Hold, 7, A::Up, Yellow, pairUp, "BRIGHT up"},
    ButtonEntry{42, 17, "", "C21", Hold, 8, A::Down, Yellow, pairDown, "BRIGHT down"},
    ButtonEntry{48, 16, "", "C30", Hold, 9, A::Up, Yellow, pairUp, "D.ZOOM up"},
    ButtonEntry{49, 16, "", "C31", Hold, 10, A::Down, Yellow, pairDown, "D.ZOOM down"},
    ButtonEntry{39, 18, "", "C47", Hold, 19, A::Up, Yellow, pairUp, "ZOOM up"},
    ButtonEntry{43, 18, "", "C46", Hold, 20, A::Down, Yellow, pairDown, "ZOOM down"},
    ButtonEntry{50, 22, "", "C4B", Hold, 21, A::Up, Yellow, pairUp, "FOCUS up"},
    ButtonEntry{51, 22, "", "C4A", Hold, 22, A::Down, Yellow, pairDown, "FOCUS down"},
    ButtonEntry{52, 23, "", "C5D", Hold, 15, A::Up, Yellow, crossUp, "LENS SHIFT up"},
    ButtonEntry{57, 23, "", "C5F", Hold, 17, A::Left, Yellow, crossLeft, "LENS SHIFT left"},
    ButtonEntry{58, 23, "", "C60", Hold, 18, A::Right, Yellow, crossRight, "LENS SHIFT right"},
    ButtonEntry{59, 23, "", "C5E", Hold, 16, A::Down, Yellow, crossDown, "LENS SHIFT down"},
    ButtonEntry{10, 10, "", "C8E", Hold, 11, A::Up, Yellow, crossUp, "KEYSTONE up"},
    ButtonEntry{37, 10, "", "C91", Hold, 13, A::Left, Yellow, crossLeft, "KEYSTONE left"},
    ButtonEntry{38, 10, "", "C90", Hold, 14, A::Right, Yellow, crossRight, "KEYSTONE right"},
    ButtonEntry{35, 10, "", "C8F", Hold, 12, A::Down, Yellow, crossDown, "KEYSTONE down"},
    ButtonEntry{3, 0, "DISPLAY CLEAR", "C1E", Click, 0, A::None, Teal, {120, 3550, 1500, 400}, {}},
    ButtonEntry{73, 0, "IMAGE", "C27", Click, 0, A::None, Teal, {120, 3970, 1500, 300}, {}},
    ButtonEntry{13, 0, "AUTO PC ADJ.", "C89", Click, 0, A::None, Teal, {120, 4290, 1500, 300}, {}},
    ButtonEntry{14, 0, "P-TIMER", "C8A", Click, 0, A::None, Teal, {120, 4620, 1500, 300}, {}},
    ButtonEntry{67, 0, "P-TIMER(Exit)", "C8B", Click, 0, A::None, Teal, {120, 4950, 1500, 300}, {}},
    ButtonEntry{
        60, 20, "NONE", "CF KEYDIS NONE", Click, 0, A::None, Teal, stacked(0, 570, 1125), {}},
    ButtonEntry{61, 20, "R/C", "CF KEYDIS RC", Click, 0, A::None, Teal, stacked(1, 570, 1125), {}},
    ButtonEntry{62, 20, "KEY", "CF KEYDIS KEY", Click, 0, A::None, Teal, stacked(2, 570, 1125), {}},
    ButtonEntry{71, 14, "Ready", "C2A", Click, 0, A::None, Teal, stacked(0, 570, 1450), {}},
    ButtonEntry{72, 14, "OFF", "C2B", Click, 0, A::None, Teal, stacked(1, 570, 1450), {}},
    ButtonEntry{56, 14, "Shut down", "C2E", Click, 0, A::None, Teal, stacked(2, 570, 1450), {}},
    ButtonEntry{
        68, 21, "NORMAL", "CF LAMPMODE NORMAL", Click, 0, A::None, Teal, {90, 330, 1100, 300}, {}},
    ButtonEntry{
        75, 21, "ECO1", "CF LAMPMODE ECO1", Click, 0, A::None, Teal, {90, 660, 1100, 300}, {}},
    ButtonEntry{
        63, 21, "ECO2", "CF LAMPMODE ECO2", Click, 0, A::None, Teal, {90, 990, 1100, 300}, {}},
    ButtonEntry{
        66, 21, "AUTO", "CF LAMPMODE AUTO", Click, 0, A::None, Teal, {90, 1320, 1100, 300}, {}},
    ButtonEntry{23, 6, "ON", "C1C", Click, 0, A::None, Green, {120, 360, 840, 300}, {}},
    ButtonEntry{24, 6, "OFF", "C1D", Click, 0, A::None, Red, {120, 780, 840, 300}, {}},
    ButtonEntry{
        5, 0, "", "C3C", Hold, 3, A::Up, Yellow, {7880, 4150, kArrowW, kArrowH}, "MENU cursor up"},
    ButtonEntry{9,
                0,
                "",
                "C3B",
                Hold,
                5,
                A::Left,
                Yellow,
                {7320, 4510, kArrowW, kArrowH},
                "MENU cursor left"},
    ButtonEntry{8,
                0,
                "",
                "C3A",
                Hold,
                6,
                A::Right,
                Yellow,
                {8340, 4510, kArrowW, kArrowH},
                "MENU cursor right"},
    ButtonEntry{7,
                0,
                "",
                "C3D",
                Hold,
                4,
                A::Down,
                Yellow,
                {7880, 4870, kArrowW, kArrowH},
                "MENU cursor down"},
    ButtonEntry{6,
                0,
                "ENTER",
                "C3F",
                Click,
                0,
                A::None,
                Orange,
                {6840, 4870, kArrowW, kArrowH},
                "MENU ENTER"},
    ButtonEntry{16, 0, "END", "", End, 0, A::None, Pink, {9360, 4400, 900, 855}, {}},
    ButtonEntry{44, 0, "STATUS", "CR0", Click, 0, A::None, Cyan, {8720, 5400, 1500, 300}, {}},
    ButtonEntry{45, 0, "MODE", "CR1", Click, 0, A::None, Cyan, {8720, 5700, 1500, 300}, {}},
    ButtonEntry{54, 0, "TEMP", "CR6", Click, 0, A::None, Cyan, {8720, 6000, 1500, 300}, {}},
    ButtonEntry{47, 0, "SETTING", "CR4", Click, 0, A::None, Cyan, {8720, 6300, 1500, 300}, {}},
    ButtonEntry{46, 0, "LAMP-TIME", "CR3", Click, 0, A::None, Cyan, {8720, 6600, 1500, 300}, {}},
    ButtonEntry{
        55, 0, "LAMP-STATUS", "CR LAMPSTS", Click, 0, A::None, Cyan, {8720, 6900, 1500, 300}, {}},
    ButtonEntry{
        76, 0, "LAMP-MODE", "CR LAMPMODE", Click, 0, A::None, Cyan, {8720, 7200, 1500, 300}, {}},
    ButtonEntry{
        74, 0, "COMMANDTABLE", "", CommandTable, 0, A::None, System, {6480, 6660, 1850, 375}, {}},
    ButtonEntry{33, 0, "COM", "", Com, 0, A::None, System, {6480, 7080, 1850, 375}, {}},
};

} // namespace

std::span<const ButtonEntry> buttons() {
    return kButtons;
}
std::span<const FrameEntry> frames() {
    return kFrames;
}
std::span<const TitleEntry> titles() {
    return kTitles;
}

const ButtonEntry* findButton(int number) {
    const auto it = std::ranges::find(kButtons, number, &ButtonEntry::number);
    return it == kButtons.end() ? nullptr : &*it;
}

Point centreInPixels(const ButtonEntry& button) {
    Point origin{0, 0};
    const auto frame = std::ranges::find(kFrames, button.frame, &FrameEntry::number);
    if (frame != kFrames.end()) {
        origin = {twipsToPixels(frame->rect.left), twipsToPixels(frame->rect.top)};
    }
    const Rect& r = button.rect;
    return {origin.x + twipsToPixels(r.left) + twipsToPixels(r.width) / 2,
            origin.y + twipsToPixels(r.top) + twipsToPixels(r.height) / 2};
}

std::string_view repeatCommand(int code) {
    if (code <= 0)
        return {};
    const auto it = std::ranges::find(kButtons, code, &ButtonEntry::repeatCode);
    return it == kButtons.end() ? std::string_view{} : it->command;
}

std::string groupName(const ButtonEntry& button) {
    if (button.frame == 0) {
        if (button.kind == End)
            return "END button";
        if (button.kind == Com || button.kind == CommandTable)
            return "function buttons";
        if (button.tint == Cyan)
            return "status reads";
        if (button.kind == Hold || button.tint == Orange)
            return "cursor pad";
        return "left column";
    }
    return frameTitle(button.frame);
}

std::string frameTitle(int frame) {
    std::string name;
    for (const TitleEntry& title : kTitles) {
        if (title.frame != frame)
            continue;
        std::string_view caption = title.caption;
        while (caption.ends_with(' '))
            caption.remove_suffix(1);
        if (!name.empty())
            name += ' ';
        name += caption;
    }
    return name;
}

std::string_view shownCaption(const ButtonEntry& button) {
    // Indexed by Arrow: None, Up, Down, Left, Right.
    constexpr std::array<std::string_view, 5> kDirections{"", "up", "down", "left", "right"};
    return button.arrow == A::None ? button.caption
                                   : kDirections[static_cast<std::size_t>(button.arrow)];
}

std::string accessibleName(const ButtonEntry& button) {
    if (!button.accessibleName.empty())
        return std::string(button.accessibleName);
    std::string name = frameTitle(button.frame);
    if (!name.empty())
        name += ' ';
    return name += button.caption;
}

} // namespace kavo::panel
