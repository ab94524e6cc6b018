// The self-drawn widget set: text field, button, check box, captions and the centred notice.
//
// Sections: colours; records; hit-testing and editing (pure, no window needed); drawing.
//
// Widgets are plain records. They hold no behaviour: the main loop hit-tests clicks, routes typing and
// calls the drawing functions every frame. Text is bytes (UTF-8, never validated): appending, erasing,
// masking count bytes; only fitting and drawing read them as UTF-8 (text/text_render.h).
//
// Error convention: nothing here fails visibly. A text the font cannot render is skipped for that
// frame; drawing functions never change the widget they draw.
#pragma once

#include <SDL.h>
#include <SDL_ttf.h>

#include "app/scale.h"
#include "text/font_set.h"
#include "text/sdl_handles.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace vchat {

// ---- Colours ---------------------------------------------------------------------------------------

struct Palette {
    SDL_Color background{11, 16, 32, 255};       // clearing the window
    SDL_Color panel{17, 23, 51, 255};            // panel fill
    SDL_Color border{37, 48, 90, 255};           // panel, idle field and check-box outline
    SDL_Color foreground{234, 240, 255, 255};    // field text, check-box captions, log lines
    SDL_Color caption{170, 180, 210, 255};       // captions above fields, the notice
    SDL_Color accent{75, 124, 255, 255};         // enabled button fill, the tick
    SDL_Color buttonDisabled{80, 80, 90, 255};   // disabled button fill
};
inline constexpr Palette kPalette{};

// Widget colours that are not shared.
inline constexpr SDL_Color kFieldFill{15, 21, 48, 255};
inline constexpr SDL_Color kFieldFillFocused{22, 28, 62, 255};
inline constexpr SDL_Color kFieldOutlineFocused{95, 140, 255, 255};
inline constexpr SDL_Color kFieldInnerOutlineFocused{75, 124, 255, 40};
inline constexpr SDL_Color kCaretColour{255, 255, 255, 200};
inline constexpr SDL_Color kButtonOutline{30, 40, 90, 255};
inline constexpr SDL_Color kButtonText{255, 255, 255, 255};
inline constexpr SDL_Color kCheckboxFill{20, 30, 60, 255};

inline constexpr int kBoxSize = 20;              // a check box's square, whatever its rect says
inline constexpr int kFocusRingGap = 3;          // the keyboard focus ring stands this far outside
inline constexpr int kFocusRingWidth = 2;
inline constexpr std::uint64_t kCaretBlinkMs = 500;
inline constexpr int kFieldTextInset = 8;        // left inset of a field's text
inline constexpr int kFieldTextMinTop = 4;       // text never starts higher than this below the top

// ---- Records ---------------------------------------------------------------------------------------

struct TextField {
    SDL_Rect rect{0, 0, 0, 0};
    std::string label;      // caption drawn above the box by the main loop; empty for the message line
    std::string text;       // any length
    bool focused = false;   // at most one field at a time, kept so by the main loop
    bool masked = false;    // drawn as one "*" per byte
};

struct Button {
    SDL_Rect rect{0, 0, 0, 0};
    std::string label;      // centred, may spill over both sides
    bool disabled = false;  // grey, and the main loop ignores its clicks
};

struct Checkbox {
    SDL_Rect rect{0, 0, 0, 0};  // x, y: the square's corner; w, h are not used
    std::string label;          // right of the square; not part of the hit area
    bool ticked = false;
};

// ---- Hit-testing and editing -------------------------------------------------------------------------
//
// Widget rectangles are in layout pixels; points and everything drawn are in window pixels, which
// are the same at the scale 1/1. A widget is hit on exactly the pixels its scaled rectangle covers.

// True when x <= px <= x + w and y <= py <= y + h: all four edge lines belong to the rectangle.
// Computed without overflow for any rectangle.
bool containsPoint(const SDL_Rect& rect, int px, int py);
// The layout rectangle `rect`, drawn at `scale`, contains the window point.
bool hitsScaled(const SDL_Rect& rect, const Scale& scale, int px, int py);
// The check box's 20 x 20 square (edges inclusive) contains the point.
bool checkboxHit(const Checkbox& box, int px, int py, const Scale& scale = Scale{});

// Appends every byte of `bytes`; nothing is filtered.
void appendText(TextField& field, std::string_view bytes);
// Removes the last UTF-8 character (all its bytes); where the end is not one whole valid sequence,
// only the last byte. Nothing when the text is empty.
void eraseLastCharacter(TextField& field);
// What the field shows before fitting: its text, or one "*" per byte when masked.
std::string shownText(const TextField& field);
// The longest tail of `text` (cut between clusters, never inside one) whose rendered width is at
// most `width` pixels; `text` itself when it fits, empty when not even its last cluster fits.
std::string fitTail(text::FontSet& fonts, const std::string& text, int width);
// The caret is drawn during the even 500 ms periods of the clock.
bool caretVisible(std::uint64_t ticksMs);

// ---- Drawing (every text rendered to a fresh surface and texture, freed right after) ----------------
//
// Widgets are drawn at `scale` with fonts opened at its size (FontSet::dpi); outlines and the caret
// are scale.lineWidth() pixels thick.

// The rectangle's outline, `width` pixels thick inside its edges.
void outlineRect(SDL_Renderer* renderer, const SDL_Rect& rect, SDL_Color colour, int width);
// Box, outline, focus outlines, fitted text and, when focused and `ticksMs` says so, the caret.
// Does not draw the caption. Leaves no clip rectangle set.
void drawTextField(SDL_Renderer* renderer, text::FontSet& fonts, const TextField& field, std::uint64_t ticksMs,
                   const Scale& scale = Scale{});
void drawButton(SDL_Renderer* renderer, text::FontSet& fonts, const Button& button, const Scale& scale = Scale{});
void drawCheckbox(SDL_Renderer* renderer, text::FontSet& fonts, const Checkbox& box, const Scale& scale = Scale{});
// A caption in the caption colour with its top-left corner at the window point (x, y); nothing for
// an empty text.
void drawLabel(SDL_Renderer* renderer, text::FontSet& fonts, const std::string& text, int x, int y);
// `text` wrapped at rect.w (line feeds start new lines), centred both ways in the window rectangle
// `rect` and clipped to it.
void drawWrappedCentered(SDL_Renderer* renderer, text::FontSet& fonts, const std::string& text,
                         const SDL_Rect& rect, SDL_Color colour);

}  // namespace vchat
