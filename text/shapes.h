// Rectangles drawn with a line of some whole number of pixels, for a window drawn at a scale.
#pragma once

#include <SDL.h>

#include <algorithm>

namespace vchat {

// The rectangle's outline in the renderer's draw colour, `width` pixels thick inside its edges.
// At width 1 exactly SDL's own one-pixel outline.
inline void drawOutline(SDL_Renderer* renderer, const SDL_Rect& r, int width) {
    if (width <= 1) {
        SDL_RenderDrawRect(renderer, &r);
        return;
    }
    const int side = std::min(width, std::min(r.w, r.h) / 2 + 1);   // no band reaches past the middle
    const SDL_Rect bands[4] = {{r.x, r.y, r.w, side},
                               {r.x, r.y + r.h - side, r.w, side},
                               {r.x, r.y + side, side, r.h - 2 * side},
                               {r.x + r.w - side, r.y + side, side, r.h - 2 * side}};
    SDL_RenderFillRects(renderer, bands, 4);
}

}  // namespace vchat
