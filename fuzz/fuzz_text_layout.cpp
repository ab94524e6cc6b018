// Arbitrary bytes through itemizing, wrapping and reordering: every cluster lands in exactly one
// row, rows keep their order, and a row's visual runs are its logical runs rearranged.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "text/layout.h"

using namespace vchat::text;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const int wrapWidth = data[0];   // 0 to 255: from breaks-only to wide rows
    const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
    const Paragraph p = itemize(text, [](const std::vector<CodePoint>& points, std::size_t begin, std::size_t) {
        return static_cast<int>(points[begin].value % 3);
    });
    // Clusters tile the bytes.
    std::uint32_t at = 0;
    for (const Cluster& c : p.clusters) {
        if (c.begin != at || c.end <= c.begin) std::abort();
        at = c.end;
    }
    if (at != text.size()) std::abort();

    const auto width = [&](std::size_t first, std::size_t last) {
        return static_cast<int>(p.clusters[last - 1].end - p.clusters[first].begin) * 3;
    };
    std::size_t next = 0;
    for (const Row& row : wrapRows(p.clusters, wrapWidth, width)) {
        // Rows follow each other; only line breaks lie between them.
        for (; next < row.first; ++next)
            if (!isLineBreak(p.clusters[next].base)) std::abort();
        if (row.last < row.first || row.last > p.clusters.size()) std::abort();
        std::vector<Run> visual = visualRuns(p, row);
        const auto byStart = [](const Run& a, const Run& b) { return a.first < b.first; };
        std::sort(visual.begin(), visual.end(), byStart);
        std::size_t covered = row.first;
        for (const Run& run : visual) {
            if (run.first != covered || run.last <= run.first) std::abort();
            covered = run.last;
        }
        if (covered != row.last) std::abort();
        next = row.last;
    }
    for (; next < p.clusters.size(); ++next)
        if (!isLineBreak(p.clusters[next].base)) std::abort();
    return 0;
}
