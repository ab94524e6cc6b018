#include "app/widgets.h"

#include <algorithm>
#include <cstdint>

#include "mesh/utf8.h"
#include "text/text_render.h"

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

SurfacePtr renderLine(text::FontSet& fonts, const std::string& line, SDL_Color colour) {
    if (line.empty()) return nullptr;
    return text::renderText(fonts, line, colour);
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

std::string fitTail(text::FontSet& fonts, const std::string& line, int width) {
    return line.substr(text::fitTailStart(fonts, line, width));
}

bool caretVisible(std::uint64_t ticksMs) { return (ticksMs / kCaretBlinkMs) % 2 == 0; }

void drawTextField(SDL_Renderer* renderer, text::FontSet& fonts, const TextField& field, std::uint64_t ticksMs) {
    const SDL_Rect& r = field.rect;
    fill(renderer, r, field.focused ? kFieldFillFocused : kFieldFill);
    outline(renderer, r, field.focused ? kFieldOutlineFocused : kPalette.border);
    if (field.focused) outline(renderer, SDL_Rect{r.x + 1, r.y + 1, r.w - 2, r.h - 2}, kFieldInnerOutlineFocused);

    const std::string shown = fitTail(fonts, shownText(field), r.w - 2 * kFieldTextInset);
    SDL_RenderSetClipRect(renderer, &r);
    int ty = r.y + (r.h - TTF_FontHeight(fonts.main)) / 2;
    if (ty < r.y + kFieldTextMinTop) ty = r.y + kFieldTextMinTop;
    copySurface(renderer, renderLine(fonts, shown, kPalette.foreground), r.x + kFieldTextInset, ty);

    if (field.focused) {
        int tw = 0;
        int th = 0;
        if (!text::measureText(fonts, shown, tw, th)) tw = th = 0;
        if (caretVisible(ticksMs)) {
            // One pixel right of the visible end of the text.
            const int cx = r.x + tw + kFieldTextInset + 1;
            setColour(renderer, kCaretColour);
            SDL_RenderDrawLine(renderer, cx, ty, cx, th < 1 ? ty + (r.h - 10) : ty + th);
        }
    }
    SDL_RenderSetClipRect(renderer, nullptr);
}

void drawButton(SDL_Renderer* renderer, text::FontSet& fonts, const Button& button) {
    const SDL_Rect& r = button.rect;
    fill(renderer, r, button.disabled ? kPalette.buttonDisabled : kPalette.accent);
    outline(renderer, r, kButtonOutline);
    SurfacePtr label = renderLine(fonts, button.label, kButtonText);
    if (label) copySurface(renderer, label, r.x + (r.w - label->w) / 2, r.y + (r.h - label->h) / 2);
}

void drawCheckbox(SDL_Renderer* renderer, text::FontSet& fonts, const Checkbox& box) {
    const SDL_Rect square{box.rect.x, box.rect.y, kBoxSize, kBoxSize};
    fill(renderer, square, kCheckboxFill);
    outline(renderer, square, kPalette.border);
    if (box.ticked) fill(renderer, SDL_Rect{square.x + 4, square.y + 4, kBoxSize - 8, kBoxSize - 8}, kPalette.accent);
    copySurface(renderer, renderLine(fonts, box.label, kPalette.foreground), square.x + kBoxSize + 8, square.y + 1);
}

void drawLabel(SDL_Renderer* renderer, text::FontSet& fonts, const std::string& label, int x, int y) {
    copySurface(renderer, renderLine(fonts, label, kPalette.caption), x, y);
}

void drawWrappedCentered(SDL_Renderer* renderer, text::FontSet& fonts, const std::string& notice,
                         const SDL_Rect& rect, SDL_Color colour) {
    if (notice.empty()) return;
    SurfacePtr surface = text::renderWrapped(fonts, notice, colour, std::max(rect.w, 0));
    if (!surface) return;
    SDL_RenderSetClipRect(renderer, &rect);
    copySurface(renderer, surface, rect.x + (rect.w - surface->w) / 2, rect.y + (rect.h - surface->h) / 2);
    SDL_RenderSetClipRect(renderer, nullptr);
}

}  // namespace vchat
