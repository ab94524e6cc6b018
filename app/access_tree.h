// The window as a screen reader sees it: a plain snapshot of every control, taken each frame, and
// the changes between two snapshots. No toolkit types: the ATK adapter (app/access_bridge.h) turns
// the changes into events, and another platform's adapter can do the same with its own.
//
// Text here is what is handed to the accessibility layer, so it is valid UTF-8 (cleanUtf8); the
// form's own text stays bytes. Positions and lengths in changes count characters, not bytes.
// Pure; nothing here fails.
#pragma once

#include <cstddef>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/form.h"
#include "app/scale.h"

namespace vchat::access {

// Every byte sequence that is not valid UTF-8 becomes U+FFFD, one per byte.
std::string cleanUtf8(std::string_view bytes);
// Characters in a text cleanUtf8 returned.
std::size_t characterCount(std::string_view clean);
// The byte offset of character `index` of a clean text (its size past the end).
std::size_t byteOffsetOf(std::string_view clean, std::size_t index);

enum class Role { entry, passwordText, checkBox, pushButton, label, log };

// Screen pixels.
struct Box {
    int x = 0;
    int y = 0;
    int w = 0;
    int h = 0;
};

struct Node {
    Role role = Role::label;
    std::string name;
    std::string text;   // a field's shown text (masked for the password), the notice's text
    Box box;
    bool showing = true;
    bool enabled = true;
    bool checked = false;
    bool focused = false;
};

// The frame's children, always these and in this order: every control in screen order
// (kScreenOrder), then the notice and the log.
inline constexpr std::size_t kControlNodes = std::size(kScreenOrder);
inline constexpr std::size_t kNoticeNode = kControlNodes;
inline constexpr std::size_t kLogNode = kControlNodes + 1;
inline constexpr std::size_t kNodeCount = kControlNodes + 2;

// The message line has no caption on screen; this is its name.
inline constexpr std::string_view kMessageLineName = "Message";
inline constexpr std::string_view kLogName = "Log";

// What a screen reader says after a control's name: the keys that work it. The frame's own
// description lists every key of the window.
extern const std::string_view kFrameDescription;
std::string_view descriptionOf(const ControlRef& control);

struct Snapshot {
    bool active = false;   // the window has the keyboard focus
    Box frame;
    std::vector<Node> nodes;   // kNodeCount of them
};

struct FocusState {
    std::optional<FieldId> field;
    std::optional<ControlRef> control;
};

// The form as drawn at `scale` with the window's top-left corner at (originX, originY).
Snapshot takeSnapshot(const Form& form, const FocusState& focus, bool active, const Scale& scale, int originX,
                      int originY);

enum class ChangeKind { active, showing, enabled, checked, textRemoved, textInserted, focus };
struct Change {
    ChangeKind kind;
    std::size_t node = 0;     // not used for `active`
    bool on = false;          // the new state; for focus, gained or lost
    std::size_t position = 0; // text changes: first character
    std::size_t length = 0;   // text changes: characters
    std::string text;         // text changes: the characters removed or inserted
};

// What changed from `before` to `after`, in the order to announce it: the window's activation,
// each node's showing, enabled and checked state and text (removal before insertion), and last
// the focus (the node that lost it before the one that gained it). A text edit is the one
// changed stretch between the common start and the common end. Linear in the texts' sizes.
std::vector<Change> diff(const Snapshot& before, const Snapshot& after);

}  // namespace vchat::access
