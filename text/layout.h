// Text layout in fixed steps, each a plain function of the one before, with no font or pixel in
// sight: split a string into clusters of at most kMaxClusterPoints code points, each with its font
// slot, script and bidi level (itemize); break the clusters into rows at a pixel width (wrapRows);
// order each row's runs for display (visualRuns). Widths come from a callback, so every step is
// tested on strings and numbers; wrapRows and widthInPieces hand a width call at most
// kMaxMeasuredClusters clusters.
//
// Right-to-left: a paragraph takes its direction from its first strong letter (left to right when
// there is none); levels follow the bidi algorithm, so numbers inside right-to-left text stay left
// to right and brackets pair up. Rows are reordered one by one after wrapping.
#pragma once

#include "text/unicode.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

namespace vchat::text {

struct Cluster {
    std::uint32_t begin = 0;        // byte range in the text
    std::uint32_t end = 0;
    char32_t base = 0;              // its first code point
    int font = 0;                   // slot of the font that draws it (0: the main font)
    std::uint32_t script = 0;       // ISO 15924 tag, never Common or Inherited unless all the text is
    std::uint8_t level = 0;         // bidi embedding level: odd reads right to left
};

struct Paragraph {
    std::vector<Cluster> clusters;
    std::uint8_t level = 0;         // the paragraph's own level: 1 when its first strong letter is right to left
};

// Chooses the font slot for the cluster points[begin, end).
using FontChooser = std::function<int(const std::vector<CodePoint>& points, std::size_t begin, std::size_t end)>;

// The clusters of `text` with their fonts, scripts and levels. Common and inherited characters take
// the script of the cluster before them (or after, at the start), so a run is cut only where the
// script really changes.
Paragraph itemize(std::string_view text, const FontChooser& fontOf);

// Clusters [first, last) in logical order that make up one row; the line break that ended it, if
// any, is not part of it.
struct Row {
    std::size_t first = 0;
    std::size_t last = 0;
};

// Pixel width of clusters [first, last), all of one font, script and level.
using RunWidth = std::function<int(std::size_t first, std::size_t last)>;

// How many of the first n pieces of something fit in `room` pixels, and their width, given the
// width of the first k of them (which must not shrink as k grows). Probes 4, 8, 16 ... then
// halves, so it costs about what the part that fits costs, however large n is; and as every piece
// that shows takes a pixel at least, no more than room + 1 pieces are ever measured.
struct Fit {
    std::size_t count = 0;
    std::int64_t width = 0;
};
Fit longestFitting(std::size_t n, std::int64_t room, const std::function<std::int64_t(std::size_t k)>& widthOfFirst);

// The most clusters handed to one width call: a shaper's positions are 32-bit fixed-point numbers,
// which a run of thousands of wide glyphs would overflow.
inline constexpr std::size_t kMaxMeasuredClusters = 1024;

// The width of clusters [first, last) of one run, measured kMaxMeasuredClusters at a time; the
// sum stops growing once it is past `enough`.
std::int64_t widthInPieces(std::size_t first, std::size_t last, const RunWidth& widthOf,
                           std::int64_t enough = INT64_MAX);

// Rows of `clusters` at most `wrapWidth` pixels wide, by the font renderer's rules: CR and LF end a
// row (a last break adds no empty row); a row that does not fit ends after its last space or tab
// that fits, or else is cut between clusters; every row holds at least one cluster unless it is
// an empty row between two breaks. `wrapWidth` <= 0 wraps at the breaks only. A long word is
// measured a row's worth at a time (at most wrapWidth + 1 and kMaxMeasuredClusters clusters), so
// wrapping costs what its rows cost.
std::vector<Row> wrapRows(const std::vector<Cluster>& clusters, int wrapWidth, const RunWidth& widthOf);

// A run to draw: clusters [first, last) of one font, script and level.
struct Run {
    std::size_t first = 0;
    std::size_t last = 0;
    int font = 0;
    std::uint32_t script = 0;
    bool rightToLeft = false;
};

// The runs of one row, left to right on screen. Spaces and tabs at the row's end take the
// paragraph's level first, as the bidi algorithm asks of a line's trailing white space.
std::vector<Run> visualRuns(const Paragraph& paragraph, const Row& row);

// The runs of [first, last) in logical order: the pieces wrapRows measures.
std::vector<Run> logicalRuns(const std::vector<Cluster>& clusters, std::size_t first, std::size_t last);

}  // namespace vchat::text
