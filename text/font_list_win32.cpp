// Fallback fonts on Windows: every font in a `fonts` folder beside the program, then the system's
// fonts, in an order that serves each script with the font made for it.
#include "text/font_set.h"

#include <SDL.h>
#include <windows.h>

#include <algorithm>
#include <string>

namespace vchat::text {

namespace {

std::string toUtf8(const std::wstring& wide) {
    if (wide.empty()) return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), bytes.data(), size, nullptr, nullptr);
    return bytes;
}

std::wstring toWide(const std::string& bytes) {
    if (bytes.empty()) return {};
    const int size = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(size > 0 ? size : 0), L'\0');
    if (size > 0) MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), wide.data(), size);
    return wide;
}

std::wstring lowerCase(std::wstring text) {
    std::transform(text.begin(), text.end(), text.begin(), [](wchar_t c) { return c >= L'A' && c <= L'Z' ? c + 32 : c; });
    return text;
}

bool isFontFile(const std::wstring& name) {
    const std::size_t dot = name.rfind(L'.');
    if (dot == std::wstring::npos) return false;
    const std::wstring ext = lowerCase(name.substr(dot));
    return ext == L".ttf" || ext == L".otf" || ext == L".ttc";
}

bool exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// The system's fonts in order: emoji, the Chinese, Japanese and Korean interface fonts, Thai,
// Indic, then the broad ones; a file that is not there is left out.
constexpr const wchar_t* kSystemFonts[] = {
    L"seguiemj.ttf", L"msyh.ttc",     L"msjh.ttc",     L"YuGothM.ttc",  L"meiryo.ttc",  L"msgothic.ttc",
    L"malgun.ttf",   L"LeelawUI.ttf", L"leelawad.ttf", L"Nirmala.ttf",  L"mangal.ttf",  L"tahoma.ttf",
    L"segoeui.ttf",  L"seguisym.ttf", L"arial.ttf",    L"simsun.ttc",   L"gulim.ttc",
};
constexpr const wchar_t* kEmojiFonts[] = {L"seguiemj.ttf"};

}  // namespace

FallbackFonts findFallbackFonts(const std::string& /*family*/) {
    FallbackFonts fonts;
    if (char* base = SDL_GetBasePath()) {
        const std::wstring folder = toWide(base) + L"fonts\\";
        SDL_free(base);
        std::vector<std::wstring> names;
        WIN32_FIND_DATAW found;
        HANDLE search = FindFirstFileW((folder + L"*").c_str(), &found);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && isFontFile(found.cFileName))
                    names.push_back(found.cFileName);
            } while (FindNextFileW(search, &found));
            FindClose(search);
        }
        std::sort(names.begin(), names.end());
        for (const std::wstring& name : names) {
            // A collection's first face: the others repeat its coverage for other regions.
            const std::string path = toUtf8(folder + name);
            fonts.text.push_back(FontFile{path, 0, nullptr});
            if (lowerCase(name).find(L"emoji") != std::wstring::npos) fonts.emoji.push_back(FontFile{path, 0, nullptr});
        }
    }
    wchar_t windows[MAX_PATH];
    const UINT length = GetWindowsDirectoryW(windows, MAX_PATH);
    if (length > 0 && length < MAX_PATH) {
        const std::wstring folder = std::wstring(windows, length) + L"\\Fonts\\";
        for (const wchar_t* name : kSystemFonts)
            if (exists(folder + name)) fonts.text.push_back(FontFile{toUtf8(folder + name), 0, nullptr});
        for (const wchar_t* name : kEmojiFonts)
            if (exists(folder + name)) fonts.emoji.push_back(FontFile{toUtf8(folder + name), 0, nullptr});
    }
    return fonts;
}

}  // namespace vchat::text
