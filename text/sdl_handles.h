// Owners of SDL and SDL_ttf handles, so every early return frees what was made. Here because text
// drawing is the lowest layer that draws; the log view and the app use the same owners.
#pragma once

#include <SDL.h>
#include <SDL_ttf.h>

#include <memory>

namespace vchat::sdl {

struct SurfaceDeleter {
    void operator()(SDL_Surface* s) const { SDL_FreeSurface(s); }
};
struct TextureDeleter {
    void operator()(SDL_Texture* t) const { SDL_DestroyTexture(t); }
};
struct RendererDeleter {
    void operator()(SDL_Renderer* r) const { SDL_DestroyRenderer(r); }
};
struct WindowDeleter {
    void operator()(SDL_Window* w) const { SDL_DestroyWindow(w); }
};
struct FontDeleter {
    void operator()(TTF_Font* f) const { TTF_CloseFont(f); }
};
using SurfacePtr = std::unique_ptr<SDL_Surface, SurfaceDeleter>;
using TexturePtr = std::unique_ptr<SDL_Texture, TextureDeleter>;
using RendererPtr = std::unique_ptr<SDL_Renderer, RendererDeleter>;
using WindowPtr = std::unique_ptr<SDL_Window, WindowDeleter>;
using FontPtr = std::unique_ptr<TTF_Font, FontDeleter>;

}  // namespace vchat::sdl
