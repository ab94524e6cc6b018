// The window's scale: how many screen pixels one pixel of the fixed 1440 x 700 layout takes, and how
// it is chosen from the desktop's own settings (its scale and the room it leaves for windows).
//
// Sections: the scale; choosing it; placing the window.
//
// The layout stays the coordinate system of the whole program; only drawing and hit-testing go
// through a Scale. It is an exact fraction, so that the same layout edge always lands on the same
// screen pixel: panels that touch in the layout touch on the screen, and a widget is hit on exactly
// the pixels it was drawn on. At 1/1 every function here is the identity.
//
// Pure code, no SDL calls; nothing fails.
#pragma once

#include <SDL_rect.h>

#include <cstdint>
#include <optional>
#include <string_view>

namespace vchat {

// ---- The scale ---------------------------------------------------------------------------------------

struct Scale {
    std::int64_t num = 1;   // screen pixels ...
    std::int64_t den = 1;   // ... per this many layout pixels; both positive

    bool identity() const { return num == den; }
    double value() const { return static_cast<double>(num) / static_cast<double>(den); }
    // Where the layout coordinate `v` falls on the screen: v * num / den rounded half up.
    int edge(int v) const;
    // A layout length that starts at the layout origin, on the screen.
    int length(int v) const { return edge(v); }
    // Both edges scaled, so a rectangle's width is the distance between its scaled edges.
    SDL_Rect rect(const SDL_Rect& r) const;
    // Thickness of outlines and the caret: whole pixels, at least one.
    int lineWidth() const;
    // The resolution to open fonts at, so that text is drawn at the scaled size (72 at 1/1).
    unsigned fontDpi() const;
};

bool operator==(const Scale& a, const Scale& b);
inline bool operator!=(const Scale& a, const Scale& b) { return !(a == b); }

// ---- Choosing it --------------------------------------------------------------------------------------

inline constexpr int kLayoutWidth = 1440;
inline constexpr int kLayoutHeight = 700;
inline constexpr Scale kSmallestScale{3, 4};   // below this text is unreadable: the window overflows

// The desktop's scale from its resolution in dots per inch (96 is 100 %): snapped down to quarters,
// between 1 and 4. Nothing known (or nonsense) is 1.
Scale desktopScale(std::optional<double> dpi);

// The value of Xft.dpi in an X resource database text ("Xft.dpi:\t192\n..."), if it has one.
std::optional<double> xftDpi(std::string_view resources);

// The window frame's thickness on each side, as the window manager draws it.
struct FrameBorders {
    int top = 0;
    int left = 0;
    int bottom = 0;
    int right = 0;
};

struct ScaleChoice {
    Scale scale;
    bool overflows = false;   // even kSmallestScale does not fit the usable area
};

// The desktop's scale, made smaller where the window with its frame would not fit the usable area,
// but never below kSmallestScale. Exactly 1/1 when the desktop is at 100 % and the window fits.
ScaleChoice chooseScale(const Scale& desktop, const SDL_Rect& usable, const FrameBorders& frame);

// ---- Placing the window ---------------------------------------------------------------------------

// The window's client area: its size at `scale`, centred in the usable area with its frame, but
// never above the area's top or left of its left edge (a window too big hangs off right and bottom).
SDL_Rect placeWindow(const Scale& scale, const SDL_Rect& usable, const FrameBorders& frame);

}  // namespace vchat
