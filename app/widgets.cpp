#include "app/widgets.h"

#include <cstdint>

#include "mesh/utf8.h"

namespace vchat {

namespace {

using sdl::SurfacePtr;
using sdl::TexturePtr;

void setColour(SDL_Renderer* renderer, SDL_Color c) { SDL_SetRenderDrawColor(renderer, c.r, c.g, c.b, c.a); }

void fill(SDL_Renderer* renderer, const SDL_Rect& rect, SDL_Color c) {
    setColour(renderer, c);
    SDL_RenderFillRect(renderer, &rect);
}

void outline(SDL_Renderer* renderer, const SDL_Rect& rect, SDL_Color c) {
    setColour(renderer, c);
    SDL_RenderDrawRect(renderer, &rect);
}

// Copies a rendered text at its natural size. A missing surface (unrenderable text) draws nothing.
void copySurface(SDL_Renderer* renderer, const SurfacePtr& surface, int x, int y) {
    if (!surface) return;
    TexturePtr texture(SDL_CreateTextureFromSurface(renderer, surface.get()));
    if (!texture) return;
    SDL_Rect dst{x, y, surface->w, surface->h};
    SDL_RenderCopy(renderer, texture.get(), nullptr, &dst);
}

SurfacePtr renderLine(TTF_Font* font, const std::string& text, SDL_Color colour) {
    if (text.empty()) return nullptr;
    return SurfacePtr(TTF_RenderUTF8_Blended(font, text.c_str(), colour));
}

// Width in pixels; a text the font cannot measure counts as fitting, it will not be drawn either.
int textWidth(TTF_Font* font, const char* text) {
    int w = 0;
    int h = 0;
    if (TTF_SizeUTF8(font, text, &w, &h) != 0) return 0;
    return w;
}

}  // namespace

bool containsPoint(const SDL_Rect& rect, int px, int py) {
    // 64-bit sums: x + w must not wrap for rectangles near the 32-bit limits.
    const std::int64_t x = rect.x, y = rect.y, w = rect.w, h = rect.h;
    return px >= x && px <= x + w && py >= y && py <= y + h;
}

bool checkboxHit(const Checkbox& box, int px, int py) {
    return containsPoint(SDL_Rect{box.rect.x, box.rect.y, kBoxSize, kBoxSize}, px, py);
}

void appendText(TextField& field, std::string_view bytes) { field.text.append(bytes); }

void eraseLastCharacter(TextField& field) {
    std::string& text = field.text;
    if (text.empty()) return;
    // Walk back over up to three continuation bytes to the lead byte of the last character.
    std::size_t start = text.size() - 1;
    while (start > 0 && text.size() - start < 4 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) {
        --start;
    }
    // Anything but one whole valid sequence is invalid UTF-8: it goes a byte at a time.
    if (utf8SequenceLength(text, start) == text.size() - start) {
        text.erase(start);
    } else {
        text.pop_back();
    }
}

std::string shownText(const TextField& field) {
    return field.masked ? std::string(field.text.size(), '*') : field.text;
}

std::string fitTail(TTF_Font* font, const std::string& text, int width) {
    if (textWidth(font, text.c_str()) <= width) return text;
    std::size_t lo = 0;
    std::size_t hi = text.size();
    while (lo < hi) {
        const std::size_t mid = lo + (hi - lo) / 2;
        if (textWidth(font, text.c_str() + mid) > width) {
            lo = mid + 1;
        } else {
            hi = mid;
        }
    }
    return text.substr(lo);
}

bool caretVisible(std::uint64_t ticksMs) { return (ticksMs / kCaretBlinkMs) % 2 == 0; }

void drawTextField(SDL_Renderer* renderer, TTF_Font* font, const TextField& field, std::uint64_t ticksMs) {
    const SDL_Rect& r = field.rect;
    fill(renderer, r, field.focused ? kFieldFillFocused : kFieldFill);
    outline(renderer, r, field.focused ? kFieldOutlineFocused : kPalette.border);
    if (field.focused) outline(renderer, SDL_Rect{r.x + 1, r.y + 1, r.w - 2, r.h - 2}, kFieldInnerOutlineFocused);

    const std::string shown = fitTail(font, shownText(field), r.w - 2 * kFieldTextInset);
    SDL_RenderSetClipRect(renderer, &r);
    int ty = r.y + (r.h - TTF_FontHeight(font)) / 2;
    if (ty < r.y + kFieldTextMinTop) ty = r.y + kFieldTextMinTop;
    copySurface(renderer, renderLine(font, shown, kPalette.foreground), r.x + kFieldTextInset, ty);

    if (field.focused) {
        int tw = 0;
        int th = 0;
        if (TTF_SizeUTF8(font, shown.c_str(), &tw, &th) != 0) tw = th = 0;
        if (caretVisible(ticksMs)) {
            // One pixel right of the visible end of the text.
            const int cx = r.x + tw + kFieldTextInset + 1;
            setColour(renderer, kCaretColour);
            SDL_RenderDrawLine(renderer, cx, ty, cx, th < 1 ? ty + (r.h - 10) : ty + th);
        }
    }
    SDL_RenderSetClipRect(renderer, nullptr);
}

void drawButton(SDL_Renderer* renderer, TTF_Font* font, const Button& button) {
    const SDL_Rect& r = button.rect;
    fill(renderer, r, button.disabled ? kPalette.buttonDisabled : kPalette.accent);
    outline(renderer, r, kButtonOutline);
    SurfacePtr text = renderLine(font, button.label, kButtonText);
    if (text) copySurface(renderer, text, r.x + (r.w - text->w) / 2, r.y + (r.h - text->h) / 2);
}

void drawCheckbox(SDL_Renderer* renderer, TTF_Font* font, const Checkbox& box) {
    const SDL_Rect square{box.rect.x, box.rect.y, kBoxSize, kBoxSize};
    fill(renderer, square, kCheckboxFill);
    outline(renderer, square, kPalette.border);
    if (box.ticked) fill(renderer, SDL_Rect{square.x + 4, square.y + 4, kBoxSize - 8, kBoxSize - 8}, kPalette.accent);
    copySurface(renderer, renderLine(font, box.label, kPalette.foreground), square.x + kBoxSize + 8, square.y + 1);
}

void drawLabel(SDL_Renderer* renderer, TTF_Font* font, const std::string& text, int x, int y) {
    copySurface(renderer, renderLine(font, text, kPalette.caption), x, y);
}

void drawWrappedCentered(SDL_Renderer* renderer, TTF_Font* font, const std::string& text,
                         const SDL_Rect& rect, SDL_Color colour) {
    if (text.empty()) return;
    const Uint32 wrap = rect.w > 0 ? static_cast<Uint32>(rect.w) : 0;
    SurfacePtr surface(TTF_RenderUTF8_Blended_Wrapped(font, text.c_str(), colour, wrap));
    if (!surface) return;
    SDL_RenderSetClipRect(renderer, &rect);
    copySurface(renderer, surface, rect.x + (rect.w - surface->w) / 2, rect.y + (rect.h - surface->h) / 2);
    SDL_RenderSetClipRect(renderer, nullptr);
}

}  // namespace vchat
