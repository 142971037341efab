#include "catalogue.h"

#include <vector>

namespace kavo::catalogue {
namespace {

// Gaps between the marker and a description, spelled out.
constexpr const char* k1Space = " ";
constexpr const char* k2Spaces = "  ";
constexpr const char* k3Spaces = "   ";
constexpr const char* kSpaceTab = " \t";
constexpr const char* kSpace2Tabs = " \t\t";
constexpr const char* k2SpacesTab = "  \t";
constexpr const char* k2Spaces2Tabs = "  \t\t";
constexpr const char* k5Spaces = "     ";

QString entry(const char* command, const char* tail) {
    return QLatin1String(command) + kCrMarker + QLatin1String(tail);
}

// Basic list: each entry is the command, the marker, five spaces, ":" and the
// description.
struct BasicEntry {
    const char* command;
    const char* description;
};

constexpr BasicEntry kBasic[] = {
    {"C00", "POWER ON"},
    {"C01", "POWER OFF(Quick Power OFF)"},
    {"C02", "POWER OFF"},
    {"C05", "INPUT 1"},
    {"C06", "INPUT 2"},
    {"C07", "INPUT 3"},
    {"C08", "NETWORK"},
    {"C09", "VOLUME +"},
    {"C0A", "VOLUME -"},
    {"C0B", "SOUND MUTE ON"},
    {"C0C", "SOUND MUTE OFF"},
    {"C0D", "VIDEO MUTE ON"},
    {"C0E", "VIDEO MUTE OFF"},
    {"C0F", "Screen Normal size(4:3)"},
    {"C10", "Screen Wide size(16:9)"},
    {"C1C", "MENU ON"},
    {"C1D", "MENU OFF"},
    {"C1E", "DISPLAY CLEAR"},
    {"C20", "BRIGHTNESS +"},
    {"C21", "BRIGHTNESS -"},
    {"C23", "INPUT2 VIDEO"},
    {"C24", "INPUT2 Y, Pb/Cb, Pr/Cr"},
    {"C25", "INPUT2 RGB"},
    {"C27", "IMAGE(Toggle)"},
    {"C28", "ON START Enable"},
    {"C29", "ON START Disable"},
    {"C2A", "Power Management Ready"},
    {"C2B", "Power Management OFF"},
    {"C2E", "Power Management Shut down"},
    {"C30", "D.Zoom +"},
    {"C31", "D.Zoom -"},
    {"C33", "INPUT3 VIDEO"},
    {"C34", "INPUT3 S-VIDEO"},
    {"C35", "INPUT3 Y, Pb/Cb, Pr/Cr"},
    {"C3A", "POINTER RIGHT"},
    {"C3B", "POINTER LEFT"},
    {"C3C", "POINTER UP"},
    {"C3D", "POINTER DOWN"},
    {"C3F", "ENTER"},
    {"C43", "FREEZE ON"},
    {"C44", "FREEZE OFF"},
    {"C46", "ZOOM -"},
    {"C47", "ZOOM +"},
    {"C4A", "FOCUS -"},
    {"C4B", "FOCUS +"},
    {"C50", "INPUT1 Analog RGB"},
    {"C51", "INPUT1 Scart"},
    {"C52", "INPUT1 DVI (PC Digital)"},
    {"C53", "INPUT1 DVI (AV HDCP)"},
    {"C5D", "Lens Shift Up"},
    {"C5E", "Lens Shift Down"},
    {"C5F", "Lens Shift Left"},
    {"C60", "Lens Shift Right"},
    {"C89", "Auto PC ADJ."},
    {"C8A", "PRESENTATION TIMER"},
    {"C8B", "PRESENTATION TIMER (Exit)"},
    {"C8E", "KEYSTONE Up"},
    {"C8F", "KEYSTONE Down"},
    {"C90", "KEYSTONE Left"},
    {"C91", "KEYSTONE Right"},
    {"CR0", "STATUS READ"},
    {"CR1", "INPUT MODE READ"},
    {"CR3", "LAMP TIME READ"},
    {"CR4", "SETTING READ"},
    {"CR6", "TEMP READ"},
    {"CR7", "LAMP MODE READ"},
};

// Extended set list: keyword groups. Each argument gives one entry
// "CF <keyword> <argument>[CR]"; the description sits on the group's first
// entry, later entries end at the marker unless annotated.
struct Argument {
    // Implicit, so that a plain argument reads as its text in the table.
    Argument(const char* argument) : text(argument) {} // NOLINT(google-explicit-constructor)

    const char* text;
    const char* ownDescription = nullptr; // behind the group's gap and introducer
    const char* endsIn = nullptr;         // whitespace closing the entry, no description
};

Argument own(const char* text, const char* description) {
    Argument argument(text);
    argument.ownDescription = description;
    return argument;
}

Argument endsIn(const char* text, const char* whitespace) {
    Argument argument(text);
    argument.endsIn = whitespace;
    return argument;
}

constexpr const char* kDigits = "% = 0-9";

struct Group {
    const char* keyword;
    std::vector<Argument> arguments; // none: the keyword alone makes the command
    const char* description;         // nullptr: the group has none
    const char* gap = k2Spaces2Tabs;
    char introducer = ':';
};

QStringList buildExtendedSetList() {
    const std::vector<Group> groups = {
        {"KEYEMU",
         {"RIGHT", "LEFT", "UP", "DN", "SELECT", "AUTOPC"},
         "Behave the same as corresponding key of projector top panel",
         k2SpacesTab},
        {"MENU", {"ON", "OFF"}, "Switch ON/OFF of each Menu.", k2SpacesTab},
        {"POWER", {"ON", "OFF"}, "Switch ON/OFF of Power.", k2SpacesTab},
        {"FREEZE", {"ON", "OFF", "UP", "DN"}, "Set Freezefunction.", k2SpacesTab},
        {"VMUTE", {"ON", "OFF"}, "Set No show function.", k2SpacesTab},
        {"VOLUME", {"UP", "DN", own("0%%", kDigits)}, "Set Volume value", k2SpacesTab},
        {"MUTE", {"ON", "OFF"}, "Control ON/OFF of Sound Mute", k2SpacesTab},
        {"BLTINSP", {"ON", "OFF"}, "Set ON/OFF of Built-in speaker", kSpaceTab},
        {"INPUT", {"1", endsIn("2", kSpaceTab), "3", "4", "UP", "DN"}, "Select Input", kSpace2Tabs},
        {"SOURCE",
         {"ANALOG", "YPBPR", "SCART", "DIGITAL", "HDCP", "VIDEO", "S-VIDEO", "YCBCR", "NETWORK",
          "UP", "DN"},
         "Select Input Source",
         k2SpacesTab},
        {"INPUT1",
         {"ANALOG", "SCART", "DIGITAL", "HDCP"},
         "Select Input11 and also set input source to %1",
         k2SpacesTab},
        {"INPUT2",
         {"ANALOG", "YPBPR", "VIDEO"},
         "Select Input12 and also set input source to %1",
         k2SpacesTab},
        {"INPUT3",
         {"VIDEO", "S-VIDEO", "YPBPR"},
         "Select Input13 and also set input source to %1",
         k2SpacesTab},
        {"INPUT4", {"NETWORK"}, "Select Input14 and also set input source to %1", k3Spaces},
        {"SYSTEM",
         {"VGA1", "XGA1", "D-XGA", "D-WXGA3", "AUTO", "NTSC", "NTSC443", "PAL", "SECAM", "PAL-M",
          "PAL-N", "1080P", "1080I", "1035I", "720P", "575P", "480P", "575I", "480I"},
         "Select System"},
        {"SCREEN",
         {"NORMAL", "TRUE", "WIDE", "FULL", "CUSTOM", "DZOOM UP", "DZOOM DN", "UP", "DN"},
         "Select Screen size"},
        {"DZCENT", {"CENT"}, "Cancel Digital Zoom mode"},
        {"KEYSTONE",
         {"UP", "FUP", "DN", "FDN", "LEFT", "FLFT", "RIGHT", "FRGT", "RST"},
         "Set Keystone"},
        {"KYSTNMODE", {"STR", "RST"}, "Set Keystone Store mode"},
        {"VSCALE", {"UP", "DN", own("%%%", kDigits)}, "Set value of Vertical scale"},
        {"VPOS", {"UP", "DN", own("%%%", kDigits)}, "Set value of Vertical position"},
        {"HSCALE", {"UP", "DN", own("%%%", kDigits)}, "Set value of Horizontal scale"},
        {"HPOS", {"UP", "DN", own("%%%", kDigits)}, "Set value of Horizontal position"},
        {"LAMPMODE", {"NORMAL", "ECO1", "ECO2", "AUTO"}, "Select Lamp mode", kSpace2Tabs},
        {"LAMPLIFECONTRL", {"MODE1", "MODE2"}, "Select Lamp life mode", kSpaceTab},
        {"FSYNC", {"UP", "DN", own("00%%", kDigits)}, "Set Fine Sync value"},
        {"TDOTS", {"UP", "DN", own("%%%%", kDigits)}, "Set Total Dots value"},
        {"CLPPHASE", {"UP", "DN", own("0%%%", kDigits)}, "Set Clamp Phase"},
        {"H-POS", {"UP", "DN", own("%%%%", kDigits)}, "Set Horizonetal Position value"},
        {"V-POS", {"UP", "DN", own("%%%%", kDigits)}, "Set Vertical Position value"},
        {"DDOTS", {"UP", "DN", own("%%%%", kDigits)}, "Set Display Dots value"},
        {"DLINE", {"UP", "DN", own("%%%%", kDigits)}, "Set Display Line value"},
        {"PCSTORE",
         {"1", "2", "3", "4", "5", "6", "7", "8", "9", "10"},
         "Store current values of PC Adjust at Mode 1-5"},
        {"PCMODEFREE",
         {"1", "2", "3", "4", "5", "6", "7", "8", "9", "10"},
         "Relese registered values of Mode 1-5"},
        {"SETPCADJ", {}, "Apply valuse set in PC Adjust menu to screen image", kSpace2Tabs},
        {"ORGMODE",
         {"VGA1",       "XGA1",       "WXGA3",      "1080I60", "1080I50", "1035I",
          "720P60",     "720P50",     "575P",       "480P",    "575I",    endsIn("480I", k1Space),
          "1080PSF/24", "1080PSF/25", "1080PSF/30", "1080P24", "1080P25", "1080P30",
          "1080P50",    "1080P60"},
         "Select System"},
        {"BRIGHT", {"UP", "DN", own("0%%", kDigits)}, "Set Brightness value"},
        {"CONT", {"UP", "DN", own("0%%", kDigits)}, "Set Contrast value"},
        {"COLOR", {"UP", "DN", own("0%%", kDigits)}, "Set Color value"},
        {"TINT", {"UP", "DN", own("0%%", kDigits)}, "Set Tint value"},
        {"SHARP", {"UP", "DN", own("0%%", kDigits)}, "Set Sharpness value"},
        {"GAMMA", {"UP", "DN", own("0%%", kDigits)}, "Set Gamma value"},
        {"WBAL-R", {"UP", "DN", own("0%%", kDigits)}, "Set White Balance Red value"},
        {"WBAL-G", {"UP", "DN", own("0%%", kDigits)}, "Set White Balance Green value"},
        {"WBAL-B", {"UP", "DN", own("0%%", kDigits)}, "Set White Balance Blue value"},
        {"COLTEMP", {"000", "001", "002", "003"}, "Set Color Temp. value"},
        {"OFFSET-R", {"UP", "DN", own("0%%", kDigits)}, "Set Red value of Offset"},
        {"OFFSET-G", {"UP", "DN", own("0%%", kDigits)}, "Set Green value of Offset"},
        {"OFFSET-B", {"UP", "DN", own("0%%", kDigits)}, "Set Blue value of Offset"},
        {"PROGV", {"FILM", "ON", "OFF", "UP", "DN"}, "Set/Cancel Progressive Scan"},
        {"NZRED", {"OFF", "ON", "UP", "DN"}, "Set/Cancel Noise reduction"},
        {"IMAGE",
         {"STAND", "REAL", "CINEMA", "CUSTOM1", "CUSTOM2", "CUSTOM3", "CUSTOM4", "CUSTOM5",
          "CUSTOM6", "CUSTOM7", "CUSTOM8", "CUSTOM9", "CUSTOM10"},
         "Set Image mode",
         kSpace2Tabs},
        {"IMAGEADJ",
         {"RST", "STR1", "STR2", "STR3", "STR4", "STR5", "STR6", "STR7", "STR8", "STR9", "STR10"},
         "Reset/Store for image adjustment"},
        {"CORNER-UL", {"UP", "DN", "LEFT", "RIGHT"}, "Correct top-left corner", kSpace2Tabs},
        {"CORNER-UR", {"UP", "DN", "LEFT", "RIGHT"}, "Correct top-right corner", kSpace2Tabs},
        {"CORNER-DL", {"UP", "DN", "LEFT", "RIGHT"}, "Correct bottom-left corner", kSpace2Tabs},
        {"CORNER-DR", {"UP", "DN", "LEFT", "RIGHT"}, "Correct bottom-right corner", kSpace2Tabs},
        {"CORNERTESTPAT",
         {"RED", "WHITE", "BLUE", "OFF"},
         "Select test pattern for Comer correction",
         kSpaceTab,
         ';'},
        {"LANG",
         {"ENG", own("DEU", "Select Geman"), own("FRA", "Select French"),
          own("ITA", "Select Italian"), own("ESP", "Select Spanish"),
          own("POR", "Select Portuguese"), own("NED", "Select Dutch"), own("SVE", "Select Swedish"),
          own("RUS", "Select Russian"), own("CHI", "Select Chinese"), own("KOR", "Select Korean"),
          own("JPN", "Select Japanese")},
         "Select English        Select language for OSD"},
        {"MENUPOSITION", {"SET"}, "Move nenu position", k2SpacesTab},
        {"INPUTBUTTON", {"MODE1", "MODE2", "MODE3"}, "Set up Input search function", k2SpacesTab},
        {"BACKGND",
         {"BLUE", "USER", "BLACK", "UP", "DN"},
         "Set Screen mode for the case of no signal"},
        {"DISP", {"ON", "CNTDWNOFF", "OFF", "UP", "DN"}, "Set Display function"},
        {"LOGO", {"%%%% OFF", "%%%% DFLT", "%%%% USER", "%%%% UP", "%%%% DN"}, "Set Logo function"},
        {"CEIL", {"ON", "OFF"}, "Set Celling function"},
        {"REAR", {"ON", "OFF"}, "Set Rear function"},
        {"POINTER", {"ARROW", "FINGER", endsIn("LASER", k3Spaces)}, nullptr},
        {"P-MANE", {"OFF", "READY", "SHUTDOWN", "UP", "DN"}, "Set Power management function"},
        {"P-MANETIME", {"UP", "DN", "%%"}, "Set Power management time"},
        {"ON-STA", {"ON", "OFF", "UP", "DN"}, "Set Power ON Start function"},
        {"STANDBYMODE", {"ECO", "NORMAL"}, "Set Standby Mode", k2SpacesTab},
        {"RCODE",
         {"001", "002", "003", "004", "005", "006", "007", "008", "UP", "DN"},
         "Select Remote Control Receptin Code"},
        {"RSENS",
         {"ALL", "FRONTTOP", "BACKTOP", "FRONTBACK", "FRONT", "TOP", "BACK", "UP", "DN"},
         "Select location of infrared remote receiver of remote control",
         kSpace2Tabs,
         ';'},
        {"KEYDIS", {"NONE", "RC", "KEY"}, "Disable RC/Projector keys"},
        {"PJPINCODE", {"%%%%"}, "input PIN code release PJ Locj"},
        {"SIMPLEMODE", {"ON", "OFF"}, "Set Simple mode function"},
        {"FANSPEED", {"MAX", "NOR"}, "Select level of Fan Speed"},
        {"FILTIMER",
         {"0400", "0700", "1000", "OFF"},
         "Set time when Filter warning OSD is displayed"},
        {"FILH", {"RST"}, "Reset Filter used time"},
        {"FILCTL", {"ROLL"}, "Execute operation of scroll of filter", kSpace2Tabs},
        {"FILSCRL", {"RST"}, "Reset Filter scroll counter", kSpace2Tabs},
        {"PTIMEMODE",
         {"COUNTUP", "COUNTDN"},
         "Set count up/count down P-timer function",
         kSpaceTab},
        {"PTIMER",
         {"START", "STOP", "RESTART", "RST", "EXIT"},
         "Set the status of P-timer",
         kSpace2Tabs},
        {"PTIME", {"%%%"}, "Set the time for count down mode in P-timer function", kSpace2Tabs},
        {"SHUTRCPROT", {"ON", "OFF"}, "Set valid / invalid of RC use on Shutter control function"},
        {"SHUTKEYPROT",
         {"ON", "OFF"},
         "Set valid / invalid use of key on the top panel on Shutter control function"},
        {"SHUTH", {"UP", "DN", "%%%"}, "Set time of operating shutter management function"},
        {"DELAYCTRL", {"MID", "LOW", "HIGH", "OFF"}, "Set Video delay control function"},
        {"TESTPAT",
         {"COLOR", "GRAD1", "GRAD2", "GRAD3", "GRAD4", "WHITE", "BLACK", "CROSS", "OFF", "UP",
          "DN"},
         "Set Test pattern display function"},
        {"FDEFAULT", {"RST"}, "Set the value to Factory Default"},
    };
    QStringList list;
    for (const Group& group : groups) {
        const QString command = QLatin1String("CF ") + QLatin1String(group.keyword);
        const QString describedBy = QLatin1String(group.gap) + QLatin1Char(group.introducer);
        if (group.arguments.empty()) {
            list << command + kCrMarker + describedBy + QLatin1String(group.description);
            continue;
        }
        for (std::size_t i = 0; i < group.arguments.size(); ++i) {
            const Argument& argument = group.arguments[i];
            QString text = command + QLatin1Char(' ') + QLatin1String(argument.text) + kCrMarker;
            if (i == 0 && group.description)
                text += describedBy + QLatin1String(group.description);
            else if (argument.ownDescription)
                text += describedBy + QLatin1String(argument.ownDescription);
            else if (argument.endsIn)
                text += QLatin1String(argument.endsIn);
            list << text;
        }
    }
    return list;
}

// Extended read list: "CR <keyword>[CR]", the gap, ":" and the description.
struct ReadEntry {
    const char* keyword;
    const char* description;
    const char* gap = kSpaceTab;
};

constexpr ReadEntry kRead[] = {
    {"STATUS", "Get setting status of Projector behavior"},
    {"SIGNAL", "Get Signal Status if there is a signal or not"},
    {"VMUTE", "Get setting status of No Show"},
    {"FREEZE", "Get setting status of Freeze"},
    {"TEMP", "Get current temperature atatus"},
    {"TEMPFAIL", "Get temperature when sensors approach abnomal temperature ", k1Space},
    {"SHUTCOND", "Get setting status of Shutter", k1Space},
    {"SERIALNO", "Get value SERIAL NO.", k1Space},
    {"VOLUME", "Get value of Volume "},
    {"MUTE", "Get setting status of Sound Mute"},
    {"BLTINSP", "Get setting status of Built-in speaker"},
    {"INPUT", "Get selected Input No."},
    {"SOURCE", "Get selected source of currently selected input"},
    {"SRCINP1", "Get selected source of Computer1"},
    {"SRCINP2", "Get selected source of Computer2"},
    {"SRCINP3", "Get selected source of Computer3"},
    {"SRCINP4", "Get selected source of Computer4"},
    {"SYSTEM", "Get selected system status in input mode"},
    {"SYSLIST", "Get selectable System table"},
    {"MODELIST", "Get selectable Mode table", k1Space},
    {"HMSLOT", "Get total number of Inputs"},
    {"NMSLOT1", "Get terminal information of Input1"},
    {"NMSLOT2", "Get terminal information of Input2"},
    {"NMSLOT3", "Get terminal information of Input3"},
    {"NMSLOT4", "Get terminal information of Input4"},
    {"IDSLOT1", "Get ID information of Input1"},
    {"IDSLOT2", "Get ID information of Input2"},
    {"IDSLOT3", "Get ID information of Input3"},
    {"IDSLOT4", "Get ID information of Input4"},
    {"SERSYS",
     "Get selected current signal. When in Auto mode, it returns a result by Auto detect"},
    {"SCREEN", "Get selected screen size"},
    {"KYSTNMODE", "Get setting status of Keystone Store mode", k1Space},
    {"VSCALE", "Get setting status of Vertical Scale"},
    {"VPOS", "Get setting status of Vertical Position"},
    {"HSCALE", "Get setting status of Horizontal Scale"},
    {"HPOS", "Get setting status of Horizontal Position"},
    {"CORNERTESTPAT", "Get setting of test pattern for Comer correction", k1Space},
    {"LAMPREPL", "Get the information for Lamp replacement time", k1Space},
    {"LAMPH", "Get lamp total running time"},
    {"LAMPCORRESPH", "Get corresponding lamp use time", k1Space},
    {"LAMPMODE", "Get Lamp Mode status", k1Space},
    {"LAMPSTS", "Get lamp lighting status"},
    {"PROJH", "Get projector running time"},
    {"HMLAMP", "Get lamp number"},
    {"LAMPLIFECONTRL", "Get lamp number", k1Space},
    {"FSYNC", "Get setting value of Fine Sync"},
    {"TDOTS", "Get setting value of Total Dots"},
    {"CLPPHASE", "Get setting value of Clamp phase", k1Space},
    {"H-POS", "Get setting value of Horizontal Position"},
    {"V-POS", "Get setting value of Vertical Position"},
    {"DDOTS", "Get setting value of Display Dots"},
    {"DLINE", "Get setting value of Display Line"},
    {"PCSTORE", "Get Free or Stored status for PC Adj.mode1-10"},
    {"ORGMODE", "Get the original signal for PC-Adjusted mode"},
    {"SETPCADJ", "Get currently display PC signal in system", k1Space},
    {"LANG", "Get selected language"},
    {"INPUTBUTTON", "Get setting status of Input button function", k1Space},
    {"BACKGND", "Get setting status of Blue Back"},
    {"DISP", "Get setting status of Display"},
    {"LOGO", "GET setting status of Logo"},
    {"LOGOLOCK", "GET setting status of Logo Lock", k1Space},
    {"CEIL", "Get setting status of Ceiling"},
    {"REAR", "Get setting status of Rear"},
    {"POINTER", "Get setting status of Pointer "},
    {"P-MANE", "Get setting status of Power management"},
    {"P-MANETIME", "Get setting time for Power management", k1Space},
    {"ON-STA", "Get setting status of ON Start"},
    {"STANDBYMODE", "Get setting status of Standby Mode", k1Space},
    {"RCODE", "Get selsected Remote Control Code"},
    {"SECURITY", "Get setting status of Security", k1Space},
    {"KEYDIS", "Get RC/KEY disability status"},
    {"PJLOCKNOW", "Get if PJ Lock is actually in operation", k1Space},
    {"PJLOCKMENU", "Get setting status of PJ Lock on Menu", k1Space},
    {"FILH", "Get Filter used time"},
    {"FILREPL", "Get the information for Filter replacement time"},
    {"FILTIMER", "Get time when Filter warning OSD is displayed", k1Space},
    {"FILREMAIN", "Get remain number of usable Filter scroll", k1Space},
    {"FILCOND", "Get status of filter clog", k1Space},
    {"FANSPEED", "Get sselected Fan Control Speed", k1Space},
    {"SIMPLEMODE", "Get sselected mode in Simple mode function", k1Space},
    {"RSENS", "Get selected location of infrared remote receiver of remote control"},
    {"RTYPE", "Get supported Remote Control type(IR/RF)"},
    {"PTIMEMODE", "Get setting mode of P-timer", k1Space},
    {"PTIMER", "Get status of P-timer"},
    {"PTIME", "Get setting time for count down mode in P-timer"},
    {"SHUTRCPROT", "Get remote controller disability status of the shutter", k1Space},
    {"SHUTKEYPROT", "Get key controller disability state of the shutter", k1Space},
    {"SHUTH", "Get time setting to begin the shutter management"},
    {"DELAYCTRL", "Get selected mode of Video delay control", k1Space},
    {"TESTPAT", "Get setting status of Test pattern", k2Spaces},
    {"BRIGHT", "Get Brightness value"},
    {"CONT", "Get Contrast value"},
    {"COLOR", "Get Color value"},
    {"TINT", "Get Tint valu"},
    {"SHARP", "Get Sharpness value"},
    {"GAMMA", "Get Gamma value"},
    {"WBAL-R", "Get Offset Red "},
    {"WBAL-G", "Get Offset Green "},
    {"WBAL-B", "Get Offset Blue "},
    {"COLTEMP", "Get setting Color of temperatue"},
    {"OFFSET-R", "Get White Balance Red value", k1Space},
    {"OFFSET-G", "Get White Balance Green value", k1Space},
    {"OFFSET-B", "Get White Balance Blue value", k1Space},
    {"NZRED", "Get setting status of Noise reduction"},
    {"PROGV", "Get setting status of Progressive scan"},
    {"IMAGE", "Get Selected image status"},
    {"IMGGMD", "Get setting value of image Gamma"},
};

} // namespace

const QStringList& basicList() {
    static const QStringList list = [] {
        QStringList built;
        for (const BasicEntry& basic : kBasic)
            built << entry(basic.command, k5Spaces) + QLatin1Char(':') +
                         QLatin1String(basic.description);
        return built;
    }();
    return list;
}

const QStringList& extendedSetList() {
    static const QStringList list = buildExtendedSetList();
    return list;
}

const QStringList& extendedReadList() {
    static const QStringList list = [] {
        QStringList built;
        for (const ReadEntry& read : kRead)
            built << QLatin1String("CR ") + entry(read.keyword, read.gap) + QLatin1Char(':') +
                         QLatin1String(read.description);
        return built;
    }();
    return list;
}

QString commandPart(QStringView entry) {
    const qsizetype marker = entry.indexOf(QLatin1Char('['));
    return (marker < 0 ? entry : entry.first(marker)).toString();
}

bool isParameterEntry(QStringView entry) {
    return entry.contains(QLatin1Char('%'));
}

QStringList allCommands() {
    QStringList commands;
    for (const QStringList* list : {&basicList(), &extendedSetList(), &extendedReadList()}) {
        for (const QString& entry : *list)
            commands << commandPart(entry);
    }
    return commands;
}

} // namespace kavo::catalogue
