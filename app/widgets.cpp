#include "app/widgets.h"

#include <algorithm>
#include <cstdint>

#include "mesh/utf8.h"
#include "text/shapes.h"
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

bool hitsScaled(const SDL_Rect& rect, const Scale& scale, int px, int py) {
    return containsPoint(scale.rect(rect), px, py);
}

bool checkboxHit(const Checkbox& box, int px, int py, const Scale& scale) {
    return hitsScaled(SDL_Rect{box.rect.x, box.rect.y, kBoxSize, kBoxSize}, scale, px, py);
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

void outlineRect(SDL_Renderer* renderer, const SDL_Rect& r, SDL_Color c, int width) {
    setColour(renderer, c);
    drawOutline(renderer, r, width);
}

void drawTextField(SDL_Renderer* renderer, text::FontSet& fonts, const TextField& field, std::uint64_t ticksMs,
                   const Scale& scale) {
    const SDL_Rect r = scale.rect(field.rect);
    const int line = scale.lineWidth();
    fill(renderer, r, field.focused ? kFieldFillFocused : kFieldFill);
    outlineRect(renderer, r, field.focused ? kFieldOutlineFocused : kPalette.border, line);
    if (field.focused) {
        outlineRect(renderer, SDL_Rect{r.x + line, r.y + line, r.w - 2 * line, r.h - 2 * line},
                    kFieldInnerOutlineFocused, line);
    }

    const int inset = scale.length(kFieldTextInset);
    const std::string shown = fitTail(fonts, shownText(field), r.w - 2 * inset);
    SDL_RenderSetClipRect(renderer, &r);
    int ty = r.y + (r.h - TTF_FontHeight(fonts.main)) / 2;
    if (ty < r.y + scale.length(kFieldTextMinTop)) ty = r.y + scale.length(kFieldTextMinTop);
    copySurface(renderer, renderLine(fonts, shown, kPalette.foreground), r.x + inset, ty);

    if (field.focused) {
        int tw = 0;
        int th = 0;
        if (!text::measureText(fonts, shown, tw, th)) tw = th = 0;
        if (caretVisible(ticksMs)) {
            // One pixel right of the visible end of the text.
            const int cx = r.x + tw + inset + scale.length(1);
            const int bottom = th < 1 ? ty + (r.h - scale.length(10)) : ty + th;
            setColour(renderer, kCaretColour);
            if (line == 1) {
                SDL_RenderDrawLine(renderer, cx, ty, cx, bottom);
            } else {
                const SDL_Rect caret{cx, ty, line, bottom - ty + 1};
                SDL_RenderFillRect(renderer, &caret);
            }
        }
    }
    SDL_RenderSetClipRect(renderer, nullptr);
}

void drawButton(SDL_Renderer* renderer, text::FontSet& fonts, const Button& button, const Scale& scale) {
    const SDL_Rect r = scale.rect(button.rect);
    fill(renderer, r, button.disabled ? kPalette.buttonDisabled : kPalette.accent);
    outlineRect(renderer, r, kButtonOutline, scale.lineWidth());
    SurfacePtr label = renderLine(fonts, button.label, kButtonText);
    if (label) copySurface(renderer, label, r.x + (r.w - label->w) / 2, r.y + (r.h - label->h) / 2);
}

void drawCheckbox(SDL_Renderer* renderer, text::FontSet& fonts, const Checkbox& box, const Scale& scale) {
    const int x = box.rect.x, y = box.rect.y;
    const SDL_Rect square = scale.rect(SDL_Rect{x, y, kBoxSize, kBoxSize});
    fill(renderer, square, kCheckboxFill);
    outlineRect(renderer, square, kPalette.border, scale.lineWidth());
    if (box.ticked) fill(renderer, scale.rect(SDL_Rect{x + 4, y + 4, kBoxSize - 8, kBoxSize - 8}), kPalette.accent);
    copySurface(renderer, renderLine(fonts, box.label, kPalette.foreground), scale.edge(x + kBoxSize + 8),
                scale.edge(y + 1));
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
