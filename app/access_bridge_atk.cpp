// Linux: the window's snapshot (app/access_tree.h) as ATK objects, published on the accessibility
// bus by atk-bridge, which turns ATK signals into AT-SPI events and answers a reader's requests
// through the interfaces below. Requests arrive on GLib's default main context, which the loop
// iterates after each frame and waits on between frames, so a request is answered at once instead
// of at the next frame.
//
// The tree: the application object, its one frame, and the frame's children in the snapshot's
// order, then the notification through which new log lines are spoken. Everything handed to ATK
// is valid UTF-8 (the snapshot and the log index clean it): libdbus ends the process on anything
// else.
#include "app/access_bridge.h"

#include <atk-bridge.h>
#include <atk/atk.h>
#include <glib-object.h>
#include <glib.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/access_tree.h"
#include "app/log_text_index.h"
#include "app/speech_policy.h"

namespace vchat {

namespace {

using access::Role;

constexpr char kToolkitName[] = "veldra-chat";
constexpr char kToolkitVersion[] = VCHAT_VERSION;
constexpr char kButtonActionName[] = "press";
constexpr char kBoxActionName[] = "toggle";
constexpr char kAnnouncementSignal[] = "announcement";
// Requests handled per frame before drawing goes on; the rest wait for the frame's pause.
constexpr int kMaxRequestsPerFrame = 64;

constexpr int kRootSlot = -2;
constexpr int kFrameSlot = -1;
constexpr int kNotificationSlot = static_cast<int>(access::kNodeCount);

struct Accessible {
    AtkObject parent;
    int slot;
};

struct Listener {
    guint signal;
    gulong hook;
};

struct Bridge {
    App* app = nullptr;
    SDL_Window* window = nullptr;
    std::string title;
    access::Snapshot shown;   // what requests are answered from: the state the last events told
    access::LogTextIndex log;
    access::SpeechQueue speech;
    AtkObject* root = nullptr;
    AtkObject* frame = nullptr;
    std::vector<AtkObject*> nodes;
    AtkObject* notification = nullptr;
    std::string notificationText;
    bool notificationShowing = false;
    std::map<guint, Listener> listeners;
    guint nextListener = 1;
};

Bridge* g_bridge = nullptr;
GType g_windowType = 0;    // the application and the frame
GType g_textType = 0;      // fields, the notice, the log, the notification
GType g_controlType = 0;   // check boxes and buttons

int slotOf(AtkObject* obj) { return reinterpret_cast<Accessible*>(obj)->slot; }

bool isNode(int slot) { return slot >= 0 && slot < static_cast<int>(access::kNodeCount); }

const access::Node* nodeOf(AtkObject* obj) {
    const int slot = slotOf(obj);
    if (!g_bridge || !isNode(slot) || static_cast<std::size_t>(slot) >= g_bridge->shown.nodes.size()) return nullptr;
    return &g_bridge->shown.nodes[static_cast<std::size_t>(slot)];
}

AtkObject* objectAt(int slot) {
    if (!g_bridge) return nullptr;
    if (slot == kRootSlot) return g_bridge->root;
    if (slot == kFrameSlot) return g_bridge->frame;
    if (slot == kNotificationSlot) return g_bridge->notification;
    return isNode(slot) ? g_bridge->nodes[static_cast<std::size_t>(slot)] : nullptr;
}

// Something a reader did (an action) changed the form: an event makes the loop draw it.
void wakeLoop() {
    SDL_Event event{};
    event.type = SDL_USEREVENT;
    SDL_PushEvent(&event);
}

// ---- AtkObject ---------------------------------------------------------------------------------

gint nChildren(AtkObject* obj) {
    const int slot = slotOf(obj);
    if (slot == kRootSlot) return 1;
    if (slot == kFrameSlot) return static_cast<gint>(access::kNodeCount) + 1;
    return 0;
}

AtkObject* refChild(AtkObject* obj, gint i) {
    const int slot = slotOf(obj);
    AtkObject* child = nullptr;
    if (slot == kRootSlot && i == 0) child = objectAt(kFrameSlot);
    if (slot == kFrameSlot && i >= 0 && i <= kNotificationSlot) child = objectAt(i);
    return child ? ATK_OBJECT(g_object_ref(child)) : nullptr;
}

gint indexInParent(AtkObject* obj) {
    const int slot = slotOf(obj);
    if (slot == kRootSlot) return -1;
    return slot == kFrameSlot ? 0 : slot;
}

AtkStateSet* refStateSet(AtkObject* obj) {
    AtkStateSet* set = atk_state_set_new();
    if (!g_bridge) {
        atk_state_set_add_state(set, ATK_STATE_DEFUNCT);
        return set;
    }
    const int slot = slotOf(obj);
    auto add = [set](AtkStateType s) { atk_state_set_add_state(set, s); };
    if (slot == kRootSlot) return set;
    if (slot == kFrameSlot) {
        for (AtkStateType s : {ATK_STATE_ENABLED, ATK_STATE_SENSITIVE, ATK_STATE_VISIBLE, ATK_STATE_SHOWING}) add(s);
        if (g_bridge->shown.active) add(ATK_STATE_ACTIVE);
        return set;
    }
    if (slot == kNotificationSlot) {
        if (g_bridge->notificationShowing) {
            add(ATK_STATE_VISIBLE);
            add(ATK_STATE_SHOWING);
        }
        return set;
    }
    const access::Node* node = nodeOf(obj);
    if (!node) return set;
    if (node->showing) {
        add(ATK_STATE_VISIBLE);
        add(ATK_STATE_SHOWING);
    }
    if (node->enabled) {
        add(ATK_STATE_ENABLED);
        add(ATK_STATE_SENSITIVE);
    }
    if (node->focused) add(ATK_STATE_FOCUSED);
    switch (node->role) {
        case Role::entry:
        case Role::passwordText:
            for (AtkStateType s : {ATK_STATE_FOCUSABLE, ATK_STATE_EDITABLE, ATK_STATE_SINGLE_LINE}) add(s);
            break;
        case Role::checkBox:
            add(ATK_STATE_FOCUSABLE);
            add(ATK_STATE_CHECKABLE);
            if (node->checked) add(ATK_STATE_CHECKED);
            break;
        case Role::pushButton:
            add(ATK_STATE_FOCUSABLE);
            break;
        case Role::log:
            add(ATK_STATE_READ_ONLY);
            add(ATK_STATE_MULTI_LINE);
            break;
        case Role::label:
            add(ATK_STATE_READ_ONLY);
            add(ATK_STATE_MULTI_LINE);
            break;
    }
    return set;
}

// ---- AtkComponent ------------------------------------------------------------------------------

void getExtents(AtkComponent* component, gint* x, gint* y, gint* w, gint* h, AtkCoordType coords) {
    *x = *y = *w = *h = 0;
    if (!g_bridge) return;
    AtkObject* obj = ATK_OBJECT(component);
    const int slot = slotOf(obj);
    access::Box box = g_bridge->shown.frame;
    if (const access::Node* node = nodeOf(obj)) box = node->box;
    if (slot == kNotificationSlot) box = access::Box{};
    if (slot != kFrameSlot && slot != kRootSlot && coords != ATK_XY_SCREEN) {
        box.x -= g_bridge->shown.frame.x;
        box.y -= g_bridge->shown.frame.y;
    }
    *x = box.x;
    *y = box.y;
    *w = box.w;
    *h = box.h;
}

gboolean grabFocus(AtkComponent* component) {
    const int slot = slotOf(ATK_OBJECT(component));
    if (!g_bridge || !isNode(slot) || slot >= static_cast<int>(access::kControlNodes)) return FALSE;
    const ControlRef control = kScreenOrder[slot];
    if (control.kind != ControlKind::field || !controlShown(g_bridge->app->form, control)) return FALSE;
    activateControl(*g_bridge->app, control);   // a field's click only focuses it
    wakeLoop();
    return TRUE;
}

void componentInit(gpointer iface, gpointer) {
    auto* c = static_cast<AtkComponentIface*>(iface);
    c->get_extents = getExtents;
    c->grab_focus = grabFocus;
}

// ---- AtkText -----------------------------------------------------------------------------------

bool isLog(AtkObject* obj) { return slotOf(obj) == static_cast<int>(access::kLogNode); }

// The text of a field, the notice or the notification (the log is asked through its index).
std::string_view plainText(AtkObject* obj) {
    if (!g_bridge) return {};
    if (slotOf(obj) == kNotificationSlot) return g_bridge->notificationText;
    const access::Node* node = nodeOf(obj);
    return node ? std::string_view(node->text) : std::string_view();
}

std::size_t countOf(AtkObject* obj) {
    if (!g_bridge) return 0;
    return isLog(obj) ? g_bridge->log.characterCount() : access::characterCount(plainText(obj));
}

std::string slice(AtkObject* obj, std::size_t start, std::size_t end) {
    if (isLog(obj)) return g_bridge ? g_bridge->log.text(start, end) : std::string();
    const std::string_view text = plainText(obj);
    const std::size_t a = access::byteOffsetOf(text, start);
    const std::size_t b = access::byteOffsetOf(text, end);
    return a < b ? std::string(text.substr(a, b - a)) : std::string();
}

gchar* dup(const std::string& s) { return g_strndup(s.data(), s.size()); }

gchar* getText(AtkText* text, gint start, gint end) {
    AtkObject* obj = ATK_OBJECT(text);
    const std::size_t count = countOf(obj);
    const std::size_t from = start < 0 ? 0 : static_cast<std::size_t>(start);
    const std::size_t to = end < 0 ? count : std::min(count, static_cast<std::size_t>(end));
    return dup(slice(obj, from, to));
}

gint characterCountOf(AtkText* text) { return static_cast<gint>(countOf(ATK_OBJECT(text))); }

gint caretOffset(AtkText* text) {
    const access::Node* node = nodeOf(ATK_OBJECT(text));
    const bool field = node && (node->role == Role::entry || node->role == Role::passwordText);
    return field ? characterCountOf(text) : 0;
}

gunichar characterAt(AtkText* text, gint offset) {
    if (offset < 0) return 0;
    const std::string one = slice(ATK_OBJECT(text), static_cast<std::size_t>(offset), static_cast<std::size_t>(offset) + 1);
    return one.empty() ? 0 : g_utf8_get_char(one.c_str());
}

// The line holding `offset`: [start, end) in characters.
void lineAround(AtkObject* obj, std::size_t offset, std::size_t& start, std::size_t& end) {
    if (isLog(obj) && g_bridge) {
        const access::LogTextIndex::Span span = g_bridge->log.lineAt(offset);
        start = span.start;
        end = span.end;
        return;
    }
    // Fields are one line; the notice's lines end at its line feeds.
    const std::string_view text = plainText(obj);
    const std::size_t at = access::byteOffsetOf(text, offset);
    const std::size_t from = at == 0 ? std::string_view::npos : text.rfind('\n', at - 1);
    const std::size_t to = text.find('\n', at);
    start = from == std::string_view::npos ? 0 : access::characterCount(text.substr(0, from + 1));
    end = to == std::string_view::npos ? access::characterCount(text) : access::characterCount(text.substr(0, to + 1));
}

gchar* stringAt(AtkText* text, gint offset, AtkTextGranularity granularity, gint* startOut, gint* endOut) {
    AtkObject* obj = ATK_OBJECT(text);
    const std::size_t count = countOf(obj);
    const std::size_t at = offset < 0 ? 0 : std::min(count, static_cast<std::size_t>(offset));
    std::size_t start = at;
    std::size_t end = std::min(count, at + 1);
    if (granularity != ATK_TEXT_GRANULARITY_CHAR) {
        lineAround(obj, at, start, end);
        if (granularity == ATK_TEXT_GRANULARITY_WORD) {
            // A word: the run of non-spaces around the offset, with the spaces after it.
            const std::string line = slice(obj, start, end);
            std::vector<gunichar> chars;
            for (const char* p = line.c_str(); *p; p = g_utf8_next_char(p)) chars.push_back(g_utf8_get_char(p));
            std::size_t i = at - start, a = i, b = i;
            while (a > 0 && !g_unichar_isspace(chars[a - 1])) --a;
            while (b < chars.size() && !g_unichar_isspace(chars[b])) ++b;
            while (b < chars.size() && g_unichar_isspace(chars[b])) ++b;
            end = start + b;
            start = start + a;
        }
    }
    *startOut = static_cast<gint>(start);
    *endOut = static_cast<gint>(end);
    return dup(slice(obj, start, end));
}

gchar* textAt(AtkText* text, gint offset, AtkTextBoundary boundary, gint* start, gint* end) {
    AtkTextGranularity g = ATK_TEXT_GRANULARITY_LINE;
    if (boundary == ATK_TEXT_BOUNDARY_CHAR) g = ATK_TEXT_GRANULARITY_CHAR;
    if (boundary == ATK_TEXT_BOUNDARY_WORD_START || boundary == ATK_TEXT_BOUNDARY_WORD_END) g = ATK_TEXT_GRANULARITY_WORD;
    return stringAt(text, offset, g, start, end);
}

gint nSelections(AtkText*) { return 0; }

void textInit(gpointer iface, gpointer) {
    auto* t = static_cast<AtkTextIface*>(iface);
    t->get_text = getText;
    t->get_character_count = characterCountOf;
    t->get_caret_offset = caretOffset;
    t->get_character_at_offset = characterAt;
    t->get_string_at_offset = stringAt;
    t->get_text_at_offset = textAt;
    t->get_n_selections = nSelections;
}

// ---- AtkAction ---------------------------------------------------------------------------------

std::optional<ControlRef> controlOf(AtkObject* obj) {
    const int slot = slotOf(obj);
    if (!isNode(slot) || slot >= static_cast<int>(access::kControlNodes)) return std::nullopt;
    return kScreenOrder[slot];
}

gint nActions(AtkAction*) { return 1; }

gboolean doAction(AtkAction* action, gint i) {
    const std::optional<ControlRef> control = controlOf(ATK_OBJECT(action));
    if (!g_bridge || i != 0 || !control) return FALSE;
    if (control->kind == ControlKind::button && g_bridge->app->form.buttons[control->index].disabled) return FALSE;
    activateControl(*g_bridge->app, *control);
    wakeLoop();
    return TRUE;
}

const gchar* actionName(AtkAction* action, gint i) {
    const std::optional<ControlRef> control = controlOf(ATK_OBJECT(action));
    if (i != 0 || !control) return nullptr;
    return control->kind == ControlKind::box ? kBoxActionName : kButtonActionName;
}

void actionInit(gpointer iface, gpointer) {
    auto* a = static_cast<AtkActionIface*>(iface);
    a->get_n_actions = nActions;
    a->do_action = doAction;
    a->get_name = actionName;
    a->get_localized_name = actionName;
}

void windowInit(gpointer, gpointer) {}   // AtkWindow has signals only

// ---- Types -------------------------------------------------------------------------------------

void classInit(gpointer klass, gpointer) {
    auto* k = ATK_OBJECT_CLASS(klass);
    k->get_n_children = nChildren;
    k->ref_child = refChild;
    k->get_index_in_parent = indexInParent;
    k->ref_state_set = refStateSet;
}

// ATK before 2.50 has no announcement signal of its own; the bridge listens for one by that name.
void textClassInit(gpointer klass, gpointer data) {
    classInit(klass, data);
    if (g_signal_lookup(kAnnouncementSignal, ATK_TYPE_OBJECT) == 0) {
        g_signal_new(kAnnouncementSignal, G_TYPE_FROM_CLASS(klass), G_SIGNAL_RUN_LAST, 0, nullptr, nullptr, nullptr,
                     G_TYPE_NONE, 1, G_TYPE_STRING);
    }
}

GType defineType(const char* name, GClassInitFunc init, std::initializer_list<std::pair<GType, GInterfaceInitFunc>> ifaces) {
    GType type = g_type_from_name(name);
    if (type != 0) return type;
    type = g_type_register_static_simple(ATK_TYPE_OBJECT, name, sizeof(AtkObjectClass), init, sizeof(Accessible),
                                         nullptr, static_cast<GTypeFlags>(0));
    for (const auto& [iface, ifaceInit] : ifaces) {
        const GInterfaceInfo info{ifaceInit, nullptr, nullptr};
        g_type_add_interface_static(type, iface, &info);
    }
    return type;
}

void defineTypes() {
    g_windowType = defineType("VchatAccessibleWindow", classInit,
                              {{ATK_TYPE_COMPONENT, componentInit}, {ATK_TYPE_WINDOW, windowInit}});
    g_textType = defineType("VchatAccessibleText", textClassInit,
                            {{ATK_TYPE_COMPONENT, componentInit}, {ATK_TYPE_TEXT, textInit}});
    g_controlType = defineType("VchatAccessibleControl", classInit,
                               {{ATK_TYPE_COMPONENT, componentInit}, {ATK_TYPE_ACTION, actionInit}});
}

AtkObject* makeObject(GType type, int slot, AtkRole role, const std::string& name, AtkObject* parent) {
    AtkObject* obj = ATK_OBJECT(g_object_new(type, nullptr));
    reinterpret_cast<Accessible*>(obj)->slot = slot;
    atk_object_set_role(obj, role);
    atk_object_set_name(obj, name.c_str());
    if (parent) atk_object_set_parent(obj, parent);
    return obj;
}

AtkRole atkRole(Role role) {
    switch (role) {
        case Role::entry: return ATK_ROLE_ENTRY;
        case Role::passwordText: return ATK_ROLE_PASSWORD_TEXT;
        case Role::checkBox: return ATK_ROLE_CHECK_BOX;
        case Role::pushButton: return ATK_ROLE_PUSH_BUTTON;
        case Role::label: return ATK_ROLE_LABEL;
        case Role::log: return ATK_ROLE_LOG;
    }
    return ATK_ROLE_UNKNOWN;
}

GType typeFor(Role role) {
    return role == Role::checkBox || role == Role::pushButton ? g_controlType : g_textType;
}

// ---- AtkUtil: the root and the bridge's signal listeners -----------------------------------------

AtkObject* getRoot() { return g_bridge ? g_bridge->root : nullptr; }
const gchar* toolkitName() { return kToolkitName; }
const gchar* toolkitVersion() { return kToolkitVersion; }

// The bridge names what it listens to as "Toolkit:Type:signal" (or "Type:signal").
guint addGlobalListener(GSignalEmissionHook listener, const gchar* eventType) {
    if (!g_bridge) return 0;
    gchar** parts = g_strsplit(eventType, ":", 3);
    const guint n = g_strv_length(parts);
    guint signal = 0;
    if (n >= 2) {
        const GType type = g_type_from_name(parts[n - 2]);
        if (type != 0) {
            if (G_TYPE_IS_INTERFACE(type)) g_type_default_interface_ref(type);
            else if (G_TYPE_IS_CLASSED(type)) g_type_class_ref(type);
            signal = g_signal_lookup(parts[n - 1], type);
        }
        // A signal this toolkit adds to ATK's (the announcement) is looked up on its own types.
        for (GType own : {g_windowType, g_textType, g_controlType}) {
            if (signal == 0) signal = g_signal_lookup(parts[n - 1], own);
        }
    }
    g_strfreev(parts);
    if (signal == 0) return 0;
    const gulong hook = g_signal_add_emission_hook(signal, 0, listener, g_strdup(eventType), g_free);
    const guint id = g_bridge->nextListener++;
    g_bridge->listeners[id] = Listener{signal, hook};
    return id;
}

void removeGlobalListener(guint id) {
    if (!g_bridge) return;
    auto it = g_bridge->listeners.find(id);
    if (it == g_bridge->listeners.end()) return;
    g_signal_remove_emission_hook(it->second.signal, it->second.hook);
    g_bridge->listeners.erase(it);
}

void overrideUtil() {
    auto* util = ATK_UTIL_CLASS(g_type_class_ref(ATK_TYPE_UTIL));   // kept for the life of the process
    util->get_root = getRoot;
    util->get_toolkit_name = toolkitName;
    util->get_toolkit_version = toolkitVersion;
    util->add_global_event_listener = addGlobalListener;
    util->remove_global_event_listener = removeGlobalListener;
}

// ---- Events --------------------------------------------------------------------------------------

void notifyPair(AtkObject* obj, AtkStateType a, AtkStateType b, bool on) {
    atk_object_notify_state_change(obj, a, on);
    atk_object_notify_state_change(obj, b, on);
}

void emit(Bridge& b, const access::Change& c) {
    using access::ChangeKind;
    if (c.kind == ChangeKind::active) {
        atk_object_notify_state_change(b.frame, ATK_STATE_ACTIVE, c.on);
        g_signal_emit_by_name(b.frame, c.on ? "activate" : "deactivate");
        return;
    }
    AtkObject* obj = b.nodes[c.node];
    switch (c.kind) {
        case ChangeKind::showing: notifyPair(obj, ATK_STATE_VISIBLE, ATK_STATE_SHOWING, c.on); break;
        case ChangeKind::enabled: notifyPair(obj, ATK_STATE_ENABLED, ATK_STATE_SENSITIVE, c.on); break;
        case ChangeKind::checked: atk_object_notify_state_change(obj, ATK_STATE_CHECKED, c.on); break;
        case ChangeKind::textRemoved:
        case ChangeKind::textInserted: {
            const gint position = static_cast<gint>(c.position);
            g_signal_emit_by_name(obj, c.kind == ChangeKind::textInserted ? "text-insert" : "text-remove", position,
                                  static_cast<gint>(c.length), c.text.c_str());
            // The caret stays at the end of a field.
            g_signal_emit_by_name(obj, "text-caret-moved", static_cast<gint>(access::characterCount(b.shown.nodes[c.node].text)));
            break;
        }
        case ChangeKind::focus: atk_object_notify_state_change(obj, ATK_STATE_FOCUSED, c.on); break;
        case ChangeKind::active: break;
    }
}

// Said through the notification (shown anew with the text as its name, what a reader speaks) and
// as an announcement, where the reader listens for those.
void speak(Bridge& b, const std::string& clean) {
    if (b.notificationShowing) notifyPair(b.notification, ATK_STATE_VISIBLE, ATK_STATE_SHOWING, false);
    b.notificationText = clean;
    atk_object_set_name(b.notification, clean.c_str());
    b.notificationShowing = true;
    notifyPair(b.notification, ATK_STATE_VISIBLE, ATK_STATE_SHOWING, true);
    g_signal_emit_by_name(b.notification, kAnnouncementSignal, clean.c_str());
}

void handlePending() {
    for (int i = 0; i < kMaxRequestsPerFrame && g_main_context_iteration(nullptr, FALSE); ++i) {
    }
}

access::Snapshot snapshotOf(Bridge& b) {
    int x = 0, y = 0;
    SDL_GetWindowPosition(b.window, &x, &y);
    const App& app = *b.app;
    return access::takeSnapshot(app.form, access::FocusState{app.focusedField, app.focusedControl}, app.windowActive,
                                app.scale, x, y);
}

void afterFrame(App& app, bool eventsHandled) {
    if (!g_bridge) return;
    Bridge& b = *g_bridge;
    // Only events change what the snapshot holds (a reader's action arrives as one too), so an
    // idle pass neither copies nor cleans the fields' texts again.
    if (eventsHandled) {
        access::Snapshot now = snapshotOf(b);
        const std::vector<access::Change> changes = access::diff(b.shown, now);
        // Requests after an event see the state it told of.
        b.shown = std::move(now);
        for (const access::Change& c : changes) emit(b, c);
    }

    access::LogTextChange log = b.log.sync(app.log);
    AtkObject* logObject = b.nodes[access::kLogNode];
    if (log.removedChars > 0) g_signal_emit_by_name(logObject, "text-remove", 0, static_cast<gint>(log.removedChars), "");
    if (log.insertedChars > 0) {
        g_signal_emit_by_name(logObject, "text-insert", static_cast<gint>(log.insertedAt),
                              static_cast<gint>(log.insertedChars), log.insertedText.c_str());
    }
    for (const std::string& line : log.newLines) b.speech.add(line, app.speakNewLines);
    if (std::optional<std::string> said = b.speech.due(SDL_GetTicks64())) speak(b, access::cleanUtf8(*said));
    handlePending();
}

gboolean endWait(gpointer done) {
    *static_cast<bool*>(done) = true;
    return G_SOURCE_REMOVE;
}

// The frame's pause spent in GLib's poll, so a request is answered the moment it arrives.
void waitAnswering(std::uint32_t ms) {
    bool done = false;
    g_timeout_add(ms, endWait, &done);
    while (!done) g_main_context_iteration(nullptr, TRUE);
}

}  // namespace

LoopHooks startAccessBridge(App& app, SDL_Window* window) {
    // atk-bridge's own switch, honoured before anything is set up.
    const char* off = std::getenv("NO_AT_BRIDGE");
    if (off && std::strcmp(off, "1") == 0) return {};
    defineTypes();
    auto* b = new Bridge;
    b->app = &app;
    b->window = window;
    const char* title = SDL_GetWindowTitle(window);
    b->title = access::cleanUtf8(title ? title : "");
    b->shown = snapshotOf(*b);
    b->root = makeObject(g_windowType, kRootSlot, ATK_ROLE_APPLICATION, b->title, nullptr);
    b->frame = makeObject(g_windowType, kFrameSlot, ATK_ROLE_FRAME, b->title, b->root);
    atk_object_set_description(b->frame, std::string(access::kFrameDescription).c_str());
    for (std::size_t i = 0; i < b->shown.nodes.size(); ++i) {
        const access::Node& node = b->shown.nodes[i];
        b->nodes.push_back(makeObject(typeFor(node.role), static_cast<int>(i), atkRole(node.role), node.name, b->frame));
        if (i < access::kControlNodes) {
            atk_object_set_description(b->nodes.back(), std::string(access::descriptionOf(kScreenOrder[i])).c_str());
        }
    }
    b->notification = makeObject(g_textType, kNotificationSlot, ATK_ROLE_NOTIFICATION, "", b->frame);
    g_bridge = b;
    overrideUtil();
    if (atk_bridge_adaptor_init(nullptr, nullptr) != 0) {
        stopAccessBridge();
        return {};
    }
    app.screenReader = true;
    return LoopHooks{afterFrame, waitAnswering};
}

void stopAccessBridge() {
    Bridge* b = g_bridge;
    if (!b) return;
    if (b->app->screenReader) atk_bridge_adaptor_cleanup();
    b->app->screenReader = false;
    g_bridge = nullptr;
    for (AtkObject* node : b->nodes) g_object_unref(node);
    g_object_unref(b->notification);
    g_object_unref(b->frame);
    g_object_unref(b->root);
    delete b;
}

}  // namespace vchat
