#include "app/scale.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <numeric>
#include <string>

namespace vchat {

namespace {

std::int64_t floorDiv(std::int64_t a, std::int64_t b) {
    const std::int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

int clampToInt(std::int64_t v) {
    return static_cast<int>(std::clamp<std::int64_t>(v, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
}

Scale reduced(std::int64_t num, std::int64_t den) {
    const std::int64_t g = std::gcd(num, den);
    return g > 0 ? Scale{num / g, den / g} : Scale{};
}

bool less(const Scale& a, const Scale& b) { return a.num * b.den < b.num * a.den; }

// Screen pixels of the layout's length `v` at `s`, from 64-bit layout coordinates.
std::int64_t scaled(const Scale& s, std::int64_t v) { return floorDiv(2 * v * s.num + s.den, 2 * s.den); }

}  // namespace

int Scale::edge(int v) const { return clampToInt(scaled(*this, v)); }

SDL_Rect Scale::rect(const SDL_Rect& r) const {
    const std::int64_t x0 = scaled(*this, r.x), y0 = scaled(*this, r.y);
    const std::int64_t x1 = scaled(*this, std::int64_t{r.x} + r.w), y1 = scaled(*this, std::int64_t{r.y} + r.h);
    return SDL_Rect{clampToInt(x0), clampToInt(y0), clampToInt(x1 - x0), clampToInt(y1 - y0)};
}

int Scale::lineWidth() const { return std::max(1, clampToInt(scaled(*this, 1))); }

unsigned Scale::fontDpi() const { return static_cast<unsigned>(std::max<std::int64_t>(1, scaled(*this, 72))); }

bool operator==(const Scale& a, const Scale& b) { return a.num * b.den == b.num * a.den; }

Scale desktopScale(std::optional<double> dpi) {
    constexpr double kDpiPerQuarter = 96.0 / 4;
    if (!dpi || !std::isfinite(*dpi) || *dpi <= 0) return Scale{};
    const double quarters = std::clamp(std::floor(*dpi / kDpiPerQuarter), 4.0, 16.0);
    return reduced(static_cast<std::int64_t>(quarters), 4);
}

std::optional<double> xftDpi(std::string_view resources) {
    constexpr std::string_view kName = "Xft.dpi";
    for (std::size_t start = 0; start < resources.size();) {
        std::size_t end = resources.find('\n', start);
        if (end == std::string_view::npos) end = resources.size();
        std::string_view line = resources.substr(start, end - start);
        start = end + 1;
        if (line.substr(0, kName.size()) != kName) continue;
        line.remove_prefix(kName.size());
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
        if (line.empty() || line.front() != ':') continue;
        line.remove_prefix(1);
        const std::string value(line.substr(0, 32));
        char* parsed = nullptr;
        const double dpi = std::strtod(value.c_str(), &parsed);
        if (parsed != value.c_str() && std::isfinite(dpi)) return dpi;
    }
    return std::nullopt;
}

ScaleChoice chooseScale(const Scale& desktop, const SDL_Rect& usable, const FrameBorders& frame) {
    const std::int64_t width = std::int64_t{usable.w} - frame.left - frame.right;
    const std::int64_t height = std::int64_t{usable.h} - frame.top - frame.bottom;
    if (width <= 0 || height <= 0) return ScaleChoice{kSmallestScale, true};
    Scale s = desktop;
    const Scale widthFit = reduced(width, kLayoutWidth), heightFit = reduced(height, kLayoutHeight);
    if (less(widthFit, s)) s = widthFit;
    if (less(heightFit, s)) s = heightFit;
    if (less(s, kSmallestScale)) return ScaleChoice{kSmallestScale, true};
    return ScaleChoice{s, false};
}

SDL_Rect placeWindow(const Scale& scale, const SDL_Rect& usable, const FrameBorders& frame) {
    const int w = scale.length(kLayoutWidth), h = scale.length(kLayoutHeight);
    const std::int64_t left = std::int64_t{usable.x} + frame.left, top = std::int64_t{usable.y} + frame.top;
    const std::int64_t roomW = std::int64_t{usable.w} - frame.left - frame.right;
    const std::int64_t roomH = std::int64_t{usable.h} - frame.top - frame.bottom;
    return SDL_Rect{clampToInt(left + std::max<std::int64_t>(0, (roomW - w) / 2)),
                    clampToInt(top + std::max<std::int64_t>(0, (roomH - h) / 2)), w, h};
}

}  // namespace vchat
