#include "app/access_tree.h"

#include <algorithm>

#include "mesh/utf8.h"

namespace vchat::access {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

bool isContinuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

Box screenBox(const SDL_Rect& layout, const Scale& scale, int originX, int originY) {
    const SDL_Rect r = scale.rect(layout);
    return Box{originX + r.x, originY + r.y, r.w, r.h};
}

Node fieldNode(const Form& form, std::size_t index, const FocusState& focus) {
    const TextField& field = form.fields[index];
    Node node;
    node.role = field.masked ? Role::passwordText : Role::entry;
    node.name = cleanUtf8(index == kMessageLine ? kMessageLineName : std::string_view(field.label));
    // What the screen shows: the password only as its mask.
    node.text = cleanUtf8(shownText(field));
    node.showing = controlShown(form, ControlRef{ControlKind::field, index});
    node.focused = focus.field == static_cast<FieldId>(index);
    return node;
}

// The character count of clean[0, bytes).
std::size_t charsIn(std::string_view clean, std::size_t bytes) { return characterCount(clean.substr(0, bytes)); }

void textChange(std::size_t node, const std::string& before, const std::string& after, std::vector<Change>& out) {
    if (before == after) return;
    std::size_t prefix = 0;
    const std::size_t shorter = std::min(before.size(), after.size());
    while (prefix < shorter && before[prefix] == after[prefix]) ++prefix;
    // Back to a character's first byte, so both sides cut whole characters.
    while (prefix > 0 && ((prefix < before.size() && isContinuation(before[prefix])) ||
                          (prefix < after.size() && isContinuation(after[prefix])))) {
        --prefix;
    }
    std::size_t suffix = 0;
    while (suffix < before.size() - prefix && suffix < after.size() - prefix &&
           before[before.size() - 1 - suffix] == after[after.size() - 1 - suffix]) {
        ++suffix;
    }
    // The common end also starts on a character's first byte on both sides.
    while (suffix > 0 && (isContinuation(before[before.size() - suffix]) || isContinuation(after[after.size() - suffix]))) {
        --suffix;
    }
    const std::size_t position = charsIn(before, prefix);
    const std::string removed = before.substr(prefix, before.size() - prefix - suffix);
    const std::string inserted = after.substr(prefix, after.size() - prefix - suffix);
    if (!removed.empty()) {
        out.push_back(Change{ChangeKind::textRemoved, node, false, position, characterCount(removed), removed});
    }
    if (!inserted.empty()) {
        out.push_back(Change{ChangeKind::textInserted, node, true, position, characterCount(inserted), inserted});
    }
}

}  // namespace

std::string cleanUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size();) {
        const std::size_t n = utf8SequenceLength(bytes, i);
        if (n == 0) {
            out.append(kReplacement);
            ++i;
        } else {
            out.append(bytes.substr(i, n));
            i += n;
        }
    }
    return out;
}

std::size_t characterCount(std::string_view clean) {
    return static_cast<std::size_t>(std::count_if(clean.begin(), clean.end(), [](char c) { return !isContinuation(c); }));
}

std::size_t byteOffsetOf(std::string_view clean, std::size_t index) {
    std::size_t seen = 0;
    for (std::size_t i = 0; i < clean.size(); ++i) {
        if (isContinuation(clean[i])) continue;
        if (seen == index) return i;
        ++seen;
    }
    return clean.size();
}

const std::string_view kFrameDescription =
    "Keys: Tab, the next text field. F6 and Shift+F6, the next or previous control. Space or Return, "
    "tick a check box or press a button. Return in the message line sends. Left Alt+C, Connect. "
    "Left Alt+D, Disconnect. Ctrl+S, save the log. Ctrl+L, clear the log. Escape, leave the control. "
    "F8, speak new lines or not.";

std::string_view descriptionOf(const ControlRef& control) {
    constexpr std::string_view kField = "Type to edit, Backspace erases. Tab for the next field, F6 for the next control.";
    constexpr std::string_view kMessage = "Type a message, Return sends it. F6 for the next control.";
    constexpr std::string_view kBox = "Space or Return ticks or unticks. F6 for the next control.";
    constexpr std::string_view kButtons[kButtonCount] = {
        "Space or Return presses. Left Alt+C from anywhere.",      // Connect
        "Space or Return presses. Left Alt+D from anywhere.",      // Disconnect
        "Space or Return presses. Ctrl+S from anywhere.",          // Save Log
        "Space or Return presses. Ctrl+L from anywhere.",          // Clear Log
        "Space or Return presses. Return in the message line sends too.",   // Send
    };
    switch (control.kind) {
        case ControlKind::field: return control.index == kMessageLine ? kMessage : kField;
        case ControlKind::box: return kBox;
        case ControlKind::button: return control.index < kButtonCount ? kButtons[control.index] : std::string_view{};
    }
    return {};
}

Snapshot takeSnapshot(const Form& form, const FocusState& focus, bool active, const Scale& scale, int originX,
                      int originY) {
    Snapshot s;
    s.active = active;
    s.frame = screenBox(SDL_Rect{0, 0, kWindowWidth, kWindowHeight}, scale, originX, originY);
    s.nodes.reserve(kNodeCount);
    for (const ControlRef& c : kScreenOrder) {
        Node node;
        switch (c.kind) {
            case ControlKind::field:
                node = fieldNode(form, c.index, focus);
                node.box = screenBox(form.fields[c.index].rect, scale, originX, originY);
                break;
            case ControlKind::box: {
                const Checkbox& box = form.boxes[c.index];
                node.role = Role::checkBox;
                node.name = cleanUtf8(box.label);
                node.checked = box.ticked;
                node.box = screenBox(SDL_Rect{box.rect.x, box.rect.y, kBoxSize, kBoxSize}, scale, originX, originY);
                break;
            }
            case ControlKind::button: {
                const Button& button = form.buttons[c.index];
                node.role = Role::pushButton;
                node.name = cleanUtf8(button.label);
                node.enabled = !button.disabled;
                node.box = screenBox(button.rect, scale, originX, originY);
                break;
            }
        }
        if (c.kind != ControlKind::field) node.focused = focus.control == c;
        s.nodes.push_back(std::move(node));
    }
    Node notice;
    notice.role = Role::label;
    notice.name = cleanUtf8(kNoticeText);
    notice.text = notice.name;
    notice.box = screenBox(kNoticeRect, scale, originX, originY);
    s.nodes.push_back(std::move(notice));
    Node log;
    log.role = Role::log;
    log.name = std::string(kLogName);
    log.box = screenBox(kLogRect, scale, originX, originY);
    s.nodes.push_back(std::move(log));
    return s;
}

std::vector<Change> diff(const Snapshot& before, const Snapshot& after) {
    std::vector<Change> out;
    if (before.active != after.active) out.push_back(Change{ChangeKind::active, 0, after.active, 0, 0, {}});
    const std::size_t n = std::min(before.nodes.size(), after.nodes.size());
    std::optional<std::size_t> lost;
    std::optional<std::size_t> gained;
    for (std::size_t i = 0; i < n; ++i) {
        const Node& b = before.nodes[i];
        const Node& a = after.nodes[i];
        if (b.showing != a.showing) out.push_back(Change{ChangeKind::showing, i, a.showing, 0, 0, {}});
        if (b.enabled != a.enabled) out.push_back(Change{ChangeKind::enabled, i, a.enabled, 0, 0, {}});
        if (b.checked != a.checked) out.push_back(Change{ChangeKind::checked, i, a.checked, 0, 0, {}});
        textChange(i, b.text, a.text, out);
        if (b.focused && !a.focused) lost = i;
        if (!b.focused && a.focused) gained = i;
    }
    if (lost) out.push_back(Change{ChangeKind::focus, *lost, false, 0, 0, {}});
    if (gained) out.push_back(Change{ChangeKind::focus, *gained, true, 0, 0, {}});
    return out;
}

}  // namespace vchat::access
