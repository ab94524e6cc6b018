// Fallback fonts from fontconfig: the fonts it ranks for the main font's family, and for "emoji".
#include "text/font_set.h"

#include <fontconfig/fontconfig.h>

#include <memory>

namespace vchat::text {

namespace {

struct PatternDeleter {
    void operator()(FcPattern* p) const { FcPatternDestroy(p); }
};
struct FontSetDeleter {
    void operator()(::FcFontSet* s) const { FcFontSetDestroy(s); }
};
struct CharSetDeleter {
    void operator()(FcCharSet* c) const { FcCharSetDestroy(c); }
};

// The sorted list for `family`, trimmed to fonts that add coverage, without the fonts of
// `skipFamily` (the main font's own files cover nothing the main font lacks).
std::vector<FontFile> sortedFonts(const char* family, const std::string& skipFamily) {
    std::vector<FontFile> files;
    std::unique_ptr<FcPattern, PatternDeleter> pattern(FcNameParse(reinterpret_cast<const FcChar8*>(family)));
    if (!pattern) return files;
    FcConfigSubstitute(nullptr, pattern.get(), FcMatchPattern);
    FcDefaultSubstitute(pattern.get());
    FcResult result = FcResultNoMatch;
    std::unique_ptr<::FcFontSet, FontSetDeleter> sorted(FcFontSort(nullptr, pattern.get(), FcTrue, nullptr, &result));
    if (!sorted) return files;
    for (int i = 0; i < sorted->nfont; ++i) {
        FcPattern* font = sorted->fonts[i];
        FcChar8* file = nullptr;
        FcChar8* name = nullptr;
        int index = 0;
        FcCharSet* charset = nullptr;
        if (FcPatternGetString(font, FC_FILE, 0, &file) != FcResultMatch) continue;
        if (FcPatternGetString(font, FC_FAMILY, 0, &name) == FcResultMatch &&
            skipFamily == reinterpret_cast<const char*>(name))
            continue;
        FcPatternGetInteger(font, FC_INDEX, 0, &index);
        FontFile entry{reinterpret_cast<const char*>(file), index, nullptr};
        if (FcPatternGetCharSet(font, FC_CHARSET, 0, &charset) == FcResultMatch) {
            std::shared_ptr<FcCharSet> coverage(FcCharSetCopy(charset), CharSetDeleter{});
            entry.mayCover = [coverage](char32_t c) { return FcCharSetHasChar(coverage.get(), c) == FcTrue; };
        }
        files.push_back(std::move(entry));
    }
    return files;
}

}  // namespace

FallbackFonts findFallbackFonts(const std::string& family) {
    FallbackFonts fonts;
    if (!FcInit()) return fonts;
    fonts.text = sortedFonts(family.c_str(), family);
    fonts.emoji = sortedFonts("emoji", family);
    return fonts;
}

}  // namespace vchat::text
