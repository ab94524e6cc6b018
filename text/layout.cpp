#include "text/layout.h"

#include <fribidi.h>

#include <algorithm>
#include <limits>

namespace vchat::text {

namespace {

// Bidi levels per code point, and the paragraph's level; all zero for text with nothing right to
// left, which spares the bidi pass for nearly every line.
std::vector<FriBidiLevel> bidiLevels(const std::vector<CodePoint>& points, std::uint8_t& paragraphLevel) {
    std::vector<FriBidiLevel> levels(points.size(), 0);
    paragraphLevel = 0;
    if (std::none_of(points.begin(), points.end(), [](const CodePoint& p) { return isRightToLeft(p.value); }))
        return levels;
    std::vector<FriBidiChar> chars(points.size());
    for (std::size_t i = 0; i < points.size(); ++i) chars[i] = points[i].value;
    const auto length = static_cast<FriBidiStrIndex>(std::min<std::size_t>(points.size(), INT32_MAX));
    std::vector<FriBidiCharType> types(points.size());
    std::vector<FriBidiBracketType> brackets(points.size());
    fribidi_get_bidi_types(chars.data(), length, types.data());
    fribidi_get_bracket_types(chars.data(), length, types.data(), brackets.data());
    FriBidiParType direction = FRIBIDI_PAR_ON;   // from the first strong letter
    if (fribidi_get_par_embedding_levels_ex(types.data(), brackets.data(), length, &direction, levels.data()) == 0) {
        std::fill(levels.begin(), levels.end(), 0);
        return levels;
    }
    paragraphLevel = FRIBIDI_IS_RTL(direction) ? 1 : 0;
    return levels;
}

bool sameRun(const Cluster& a, const Cluster& b) {
    return a.font == b.font && a.script == b.script && a.level == b.level;
}

}  // namespace

Paragraph itemize(std::string_view text, const FontChooser& fontOf) {
    Paragraph paragraph;
    const std::vector<CodePoint> points = decodeUtf8(text);
    const std::vector<std::uint32_t> starts = clusterStarts(points);
    const std::vector<FriBidiLevel> levels = bidiLevels(points, paragraph.level);
    std::vector<Cluster>& clusters = paragraph.clusters;
    clusters.reserve(starts.size());
    for (std::size_t k = 0; k < starts.size(); ++k) {
        const std::size_t begin = starts[k];
        const std::size_t end = k + 1 < starts.size() ? starts[k + 1] : points.size();
        Cluster cluster;
        cluster.begin = points[begin].offset;
        cluster.end = end < points.size() ? points[end].offset : static_cast<std::uint32_t>(text.size());
        cluster.base = points[begin].value;
        cluster.font = fontOf(points, begin, end);
        cluster.script = scriptOf(cluster.base);
        cluster.level = static_cast<std::uint8_t>(levels[begin]);
        clusters.push_back(cluster);
    }
    // Shared characters join the script around them: after the first real script, the one before.
    const auto shared = [](std::uint32_t s) { return s == kScriptCommon || s == kScriptInherited; };
    std::uint32_t current = 0;
    for (Cluster& c : clusters) {
        if (!shared(c.script)) current = c.script;
        else if (current != 0) c.script = current;
    }
    auto firstReal = std::find_if(clusters.begin(), clusters.end(), [&](const Cluster& c) { return !shared(c.script); });
    if (firstReal != clusters.end())
        for (auto it = clusters.begin(); it != firstReal; ++it) it->script = firstReal->script;
    return paragraph;
}

std::vector<Run> logicalRuns(const std::vector<Cluster>& clusters, std::size_t first, std::size_t last) {
    std::vector<Run> runs;
    for (std::size_t i = first; i < last; ++i) {
        if (runs.empty() || !sameRun(clusters[runs.back().first], clusters[i])) {
            const Cluster& c = clusters[i];
            runs.push_back(Run{i, i + 1, c.font, c.script, (c.level & 1) != 0});
        } else {
            runs.back().last = i + 1;
        }
    }
    return runs;
}

std::int64_t widthInPieces(std::size_t first, std::size_t last, const RunWidth& widthOf, std::int64_t enough) {
    std::int64_t total = 0;
    for (std::size_t at = first; at < last && total <= enough;) {
        const std::size_t to = at + std::min(last - at, kMaxMeasuredClusters);
        total += widthOf(at, to);
        at = to;
    }
    return total;
}

Fit longestFitting(std::size_t n, std::int64_t room, const std::function<std::int64_t(std::size_t k)>& widthOfFirst) {
    if (room < 0 || n == 0) return {};
    const std::size_t cap = static_cast<std::size_t>(std::min<std::int64_t>(static_cast<std::int64_t>(n), room + 1));
    Fit good;                     // the first good.count fit
    std::size_t bad = cap + 1;    // the first `bad` do not; cap + 1 while not known
    for (std::size_t k = std::min<std::size_t>(cap, 4);; k = std::min(cap, k * 2)) {
        const std::int64_t w = widthOfFirst(k);
        if (w > room) {
            bad = k;
            break;
        }
        good = Fit{k, w};
        if (k == cap) return good;
    }
    while (bad - good.count > 1) {
        const std::size_t mid = good.count + (bad - good.count) / 2;
        const std::int64_t w = widthOfFirst(mid);
        if (w <= room) good = Fit{mid, w};
        else bad = mid;
    }
    return good;
}

namespace {

// Rows of the clusters [first, stop), which hold no line break.
void wrapParagraph(const std::vector<Cluster>& clusters, std::size_t first, std::size_t stop, int wrapWidth,
                   const RunWidth& widthOf, std::vector<Row>& rows) {
    if (wrapWidth > 0) {
        // Nearly every line fits as it is: one measure per run instead of one per word. Runs are
        // measured in bounded pieces, and no further once the line is known not to fit.
        std::int64_t total = 0;
        for (const Run& run : logicalRuns(clusters, first, stop)) {
            total += widthInPieces(run.first, run.last, widthOf, wrapWidth - total);
            if (total > wrapWidth) break;
        }
        if (total <= wrapWidth) wrapWidth = 0;
    }
    if (wrapWidth <= 0) {
        rows.push_back(Row{first, stop});
        return;
    }
    const auto space = [&](std::size_t k) { return isBreakSpace(clusters[k].base); };
    std::size_t i = first;
    while (i < stop) {
        const std::size_t rowStart = i;
        std::int64_t x = 0;
        std::size_t lastBreak = std::numeric_limits<std::size_t>::max();
        while (i < stop) {
            // The next piece: one space or tab, or a word's clusters of one font, script and level.
            // A word is taken no further than the row could hold: every cluster that shows is a
            // pixel wide at least, so a long word costs what a row costs, not what the word does.
            const std::size_t most = static_cast<std::size_t>(std::min<std::int64_t>(
                std::max<std::int64_t>(wrapWidth - x + 1, 1), static_cast<std::int64_t>(kMaxMeasuredClusters)));
            std::size_t j = i + 1;
            if (!space(i))
                while (j < stop && j - i < most && !space(j) && sameRun(clusters[i], clusters[j])) ++j;
            const Fit fit = longestFitting(j - i, wrapWidth - x, [&](std::size_t k) { return widthOf(i, i + k); });
            if (fit.count == j - i) {
                x += fit.width;
                i = j;
                if (space(j - 1)) lastBreak = i;
                continue;
            }
            if (lastBreak != std::numeric_limits<std::size_t>::max()) {
                i = lastBreak;
                break;
            }
            // No space to end at: the longest start of the piece that still fits, between clusters;
            // a row holds at least one cluster.
            i += fit.count == 0 && i == rowStart ? 1 : fit.count;
            break;
        }
        rows.push_back(Row{rowStart, i});
    }
}

}  // namespace

std::vector<Row> wrapRows(const std::vector<Cluster>& clusters, int wrapWidth, const RunWidth& widthOf) {
    std::vector<Row> rows;
    std::size_t i = 0;
    while (i < clusters.size()) {
        std::size_t stop = i;
        while (stop < clusters.size() && !isLineBreak(clusters[stop].base)) ++stop;
        if (stop == i) rows.push_back(Row{i, i});
        else wrapParagraph(clusters, i, stop, wrapWidth, widthOf, rows);
        i = stop < clusters.size() ? stop + 1 : stop;
    }
    return rows;
}

std::vector<Run> visualRuns(const Paragraph& paragraph, const Row& row) {
    std::vector<Cluster> clusters(paragraph.clusters.begin() + static_cast<std::ptrdiff_t>(row.first),
                                  paragraph.clusters.begin() + static_cast<std::ptrdiff_t>(row.last));
    for (auto it = clusters.rbegin(); it != clusters.rend() && isBreakSpace(it->base); ++it) it->level = paragraph.level;
    std::vector<Run> runs = logicalRuns(clusters, 0, clusters.size());
    std::vector<std::uint8_t> levels;
    for (Run& run : runs) {
        levels.push_back(clusters[run.first].level);
        run.first += row.first;
        run.last += row.first;
    }
    if (levels.empty()) return runs;
    // Reverse every stretch at or above each level, from the highest down to the lowest odd one.
    const std::uint8_t highest = *std::max_element(levels.begin(), levels.end());
    std::uint8_t lowestOdd = highest + 1;
    for (std::uint8_t l : levels)
        if (l & 1) lowestOdd = std::min(lowestOdd, l);
    for (int level = highest; level >= lowestOdd; --level) {
        for (std::size_t i = 0; i < runs.size();) {
            if (levels[i] < level) {
                ++i;
                continue;
            }
            std::size_t j = i;
            while (j < runs.size() && levels[j] >= level) ++j;
            std::reverse(runs.begin() + static_cast<std::ptrdiff_t>(i), runs.begin() + static_cast<std::ptrdiff_t>(j));
            std::reverse(levels.begin() + static_cast<std::ptrdiff_t>(i), levels.begin() + static_cast<std::ptrdiff_t>(j));
            i = j;
        }
    }
    return runs;
}

}  // namespace vchat::text
