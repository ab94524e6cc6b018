// The snapshot a screen reader is shown and the changes between two: roles, names and states
// from the form, and the events a change of focus, ticking, enabling or typing becomes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/access_tree.h"
#include "app/form.h"

namespace vchat::access {
namespace {

std::size_t nodeOf(ControlKind kind, std::size_t index) {
    for (std::size_t i = 0; i < kControlNodes; ++i) {
        if (kScreenOrder[i] == ControlRef{kind, index}) return i;
    }
    return kNodeCount;
}

Snapshot snap(const Form& form, FocusState focus = {}, bool active = false) {
    return takeSnapshot(form, focus, active, Scale{}, 100, 50);
}

TEST(AccessSnapshot, RolesNamesAndStatesFollowTheForm) {
    Form form = buildForm(1234);
    form.fields[kPassword].text = "s3cret";
    const Snapshot s = snap(form, FocusState{kPort, std::nullopt});
    ASSERT_EQ(s.nodes.size(), kNodeCount);
    const Node& password = s.nodes[nodeOf(ControlKind::field, kPassword)];
    EXPECT_EQ(password.role, Role::passwordText);
    EXPECT_EQ(password.text, "******");
    const Node& line = s.nodes[nodeOf(ControlKind::field, kMessageLine)];
    EXPECT_EQ(line.name, kMessageLineName);
    EXPECT_EQ(line.role, Role::entry);
    EXPECT_TRUE(s.nodes[nodeOf(ControlKind::field, kPort)].focused);
    EXPECT_FALSE(s.nodes[nodeOf(ControlKind::field, kPskKey)].showing);
    EXPECT_TRUE(s.nodes[nodeOf(ControlKind::box, kVerifyServer)].checked);
    EXPECT_FALSE(s.nodes[nodeOf(ControlKind::button, kDisconnect)].enabled);
    EXPECT_EQ(s.nodes[nodeOf(ControlKind::button, kConnect)].name, "Connect");
    EXPECT_EQ(s.nodes[kLogNode].role, Role::log);
    EXPECT_EQ(s.nodes[kNoticeNode].role, Role::label);
    // Boxes on the screen: the window's corner plus the layout rectangle.
    const Box port = s.nodes[nodeOf(ControlKind::field, kPort)].box;
    EXPECT_EQ(port.x, 100 + kFieldTable[kPort].rect.x);
    EXPECT_EQ(port.y, 50 + kFieldTable[kPort].rect.y);
}

TEST(AccessSnapshot, FieldTextIsCleanedToValidUtf8) {
    Form form = buildForm(1);
    form.fields[kMessageLine].text = std::string("a\xFF" "b\xC3", 4);
    const Snapshot s = snap(form);
    EXPECT_EQ(s.nodes[nodeOf(ControlKind::field, kMessageLine)].text, "a\xEF\xBF\xBD" "b\xEF\xBF\xBD");
}

struct CleanCase {
    std::string bytes;
    std::string clean;
};

TEST(AccessText, CleanUtf8ReplacesEachInvalidByte) {
    const std::vector<CleanCase> cases = {
        {"plain", "plain"},
        {"\xC3\xA9t\xC3\xA9", "\xC3\xA9t\xC3\xA9"},
        {"\xE2\x82", "\xEF\xBF\xBD\xEF\xBF\xBD"},                 // a cut sequence
        {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},                 // overlong
        {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"}, // a surrogate
        {std::string("\0x", 2), std::string("\0x", 2)},
    };
    for (const CleanCase& c : cases) EXPECT_EQ(cleanUtf8(c.bytes), c.clean) << c.bytes;
    EXPECT_EQ(characterCount("a\xC3\xA9\xF0\x9F\x98\x80"), 3u);
    EXPECT_EQ(byteOffsetOf("a\xC3\xA9z", 2), 3u);
    EXPECT_EQ(byteOffsetOf("a\xC3\xA9z", 9), 4u);
}

struct EditCase {
    const char* name;
    std::string before;
    std::string after;
    std::vector<Change> want;   // kind, position, length, text (node and on are checked apart)
};

TEST(AccessDiff, TextEditsBecomeOneRemovalAndOneInsertionInCharacters) {
    const std::vector<EditCase> cases = {
        {"typed at the end", "ab", "abc", {{ChangeKind::textInserted, 0, true, 2, 1, "c"}}},
        {"erased at the end", "abc", "ab", {{ChangeKind::textRemoved, 0, false, 2, 1, "c"}}},
        {"first character", "", "x", {{ChangeKind::textInserted, 0, true, 0, 1, "x"}}},
        {"replaced in the middle", "a12b", "aXb",
         {{ChangeKind::textRemoved, 0, false, 1, 2, "12"}, {ChangeKind::textInserted, 0, true, 1, 1, "X"}}},
        // Two-byte characters sharing their first byte: whole characters on both sides.
        {"shared lead byte", "\xC3\xA9", "\xC3\xA8",
         {{ChangeKind::textRemoved, 0, false, 0, 1, "\xC3\xA9"}, {ChangeKind::textInserted, 0, true, 0, 1, "\xC3\xA8"}}},
        {"after a multi-byte character", "\xC3\xA9", "\xC3\xA9z", {{ChangeKind::textInserted, 0, true, 1, 1, "z"}}},
        {"repeated letter", "aa", "aaa", {{ChangeKind::textInserted, 0, true, 2, 1, "a"}}},
        {"unchanged", "same", "same", {}},
    };
    Form form = buildForm(1);
    const std::size_t node = nodeOf(ControlKind::field, kMessageLine);
    for (const EditCase& c : cases) {
        form.fields[kMessageLine].text = c.before;
        const Snapshot before = snap(form);
        form.fields[kMessageLine].text = c.after;
        const std::vector<Change> got = diff(before, snap(form));
        ASSERT_EQ(got.size(), c.want.size()) << c.name;
        for (std::size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].kind, c.want[i].kind) << c.name;
            EXPECT_EQ(got[i].node, node) << c.name;
            EXPECT_EQ(got[i].position, c.want[i].position) << c.name;
            EXPECT_EQ(got[i].length, c.want[i].length) << c.name;
            EXPECT_EQ(got[i].text, c.want[i].text) << c.name;
        }
    }
}

TEST(AccessDiff, PasswordEditsShowOnlyTheMask) {
    Form form = buildForm(1);
    form.fields[kPassword].text = "ab";
    const Snapshot before = snap(form);
    form.fields[kPassword].text = "abc";
    const std::vector<Change> got = diff(before, snap(form));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].text, "*");
}

struct StateCase {
    const char* name;
    void (*change)(Form&, FocusState&, bool&);
    std::vector<std::pair<ChangeKind, bool>> want;   // in this order
};

TEST(AccessDiff, StateChangesInAnnouncingOrder) {
    const std::vector<StateCase> cases = {
        {"box ticked", [](Form& f, FocusState&, bool&) { f.boxes[kHideTelemetry].ticked = true; },
         {{ChangeKind::checked, true}}},
        {"connected: buttons swap", [](Form& f, FocusState&, bool&) {
             f.buttons[kConnect].disabled = true;
             f.buttons[kDisconnect].disabled = false;
         }, {{ChangeKind::enabled, false}, {ChangeKind::enabled, true}}},
        {"TLS-PSK fields shown", [](Form& f, FocusState&, bool&) {
             f.boxes[kUseTls].ticked = true;
             f.boxes[kTlsPskMode].ticked = true;
         }, {{ChangeKind::checked, true}, {ChangeKind::checked, true}, {ChangeKind::showing, true},
             {ChangeKind::showing, true}}},
        {"focus moves: lost before gained", [](Form&, FocusState& focus, bool&) {
             focus.field.reset();
             focus.control = ControlRef{ControlKind::button, kSend};
         }, {{ChangeKind::focus, false}, {ChangeKind::focus, true}}},
        {"window activated, then focus", [](Form&, FocusState& focus, bool& active) {
             active = true;
             focus.field = kPort;
         }, {{ChangeKind::active, true}, {ChangeKind::focus, false}, {ChangeKind::focus, true}}},
        {"nothing", [](Form&, FocusState&, bool&) {}, {}},
    };
    for (const StateCase& c : cases) {
        Form form = buildForm(1);
        FocusState focus{kBrokerHost, std::nullopt};
        bool active = false;
        const Snapshot before = snap(form, focus, active);
        c.change(form, focus, active);
        const std::vector<Change> got = diff(before, snap(form, focus, active));
        std::vector<std::pair<ChangeKind, bool>> kinds;
        for (const Change& ch : got) kinds.emplace_back(ch.kind, ch.on);
        EXPECT_EQ(kinds, c.want) << c.name;
    }
}

TEST(AccessDiff, FocusEventsNameTheNodesInvolved) {
    Form form = buildForm(1);
    const Snapshot before = snap(form, FocusState{kBrokerHost, std::nullopt});
    const std::vector<Change> got = diff(before, snap(form, FocusState{std::nullopt, ControlRef{ControlKind::box, kBroadcast}}));
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].node, nodeOf(ControlKind::field, kBrokerHost));
    EXPECT_EQ(got[1].node, nodeOf(ControlKind::box, kBroadcast));
}

}  // namespace
}  // namespace vchat::access
