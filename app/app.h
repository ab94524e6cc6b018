// The application record: the state the main loop owns, the handling of window events and the
// drawing of one frame. It works on any SDL renderer, so tests drive it with synthetic events and
// draw into a software renderer without a display.
//
// Sections: the record; events; the frame; the loop and shut-down.
//
// Threads: everything here runs on the main thread. The log is shared with the worker thread
// through its own lock; `connected` is only touched here and by the actions called from here.
// Error convention: nothing here fails; what the user should see becomes one log line.
#pragma once

#include <SDL.h>
#include <SDL_ttf.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>

#include "actions/channels.h"
#include "actions/connect_action.h"
#include "actions/send_action.h"
#include "app/form.h"
#include "app/scale.h"
#include "log/log_draw.h"
#include "log/log_view.h"
#include "mqtt/mqtt_worker.h"

namespace vchat {

// ---- The record ----------------------------------------------------------------------------------

// Milliseconds since some fixed start; drives the caret's blinking. Tests pass their own clock.
using TickSource = std::function<std::uint64_t()>;

struct App {
    // The form with the node number's FROM_ID and GATEWAY_HEX defaults, an empty log in its area,
    // the preset table and an idle worker. Needs no SDL call.
    explicit App(std::uint32_t nodeNumber, TickSource tickSource = SDL_GetTicks64);
    App(const App&) = delete;
    App& operator=(const App&) = delete;

    Form form;
    LogView log;
    PresetChannels presetChannels;
    MqttWorker worker;
    std::atomic<bool> connected{false};   // a worker was started and not yet stopped
    bool quitRequested = false;           // ends the loop after the current frame
    std::optional<FieldId> focusedField;  // the field that receives typing
    // A check box or button under the keyboard focus (F6); never set together with focusedField.
    std::optional<ControlRef> focusedControl;
    bool leftAltDown = false;             // Left Alt makes shortcuts, so its letters type nothing
    TickSource ticks;
    LogDrawCache logCache;                // its textures belong to the renderer drawn into
    Scale scale;                          // window pixels per layout pixel; set by setScale

    // Screen reader support (app/access_bridge.h): whether a bridge runs, whether the window has
    // the keyboard focus, and whether new log lines are spoken (F8, only while a bridge runs).
    bool screenReader = false;
    bool windowActive = false;
    bool speakNewLines = true;
};

// Draws and hit-tests the window at `scale` from now on; the log area is scaled with it. Before
// the worker is started (the log's geometry is read without its lock).
void setScale(App& app, const Scale& scale);

// What Connect and Send read from the form: references into its widgets.
ConnectForm connectForm(Form& form);
SendForm sendForm(Form& form);

// ---- Events --------------------------------------------------------------------------------------

// One mouse button press at the window point (x, y): focus, then Connect, Disconnect, Send, Save Log,
// Clear Log and the check boxes, each tested in that order on the widgets as drawn at the app's
// scale. A click outside every field leaves none focused.
void handleClick(App& app, int x, int y);
// One key press with its modifier state (auto-repeats count as presses):
//   Tab            the next text field (Shift or not), after the last the first; Escape: no focus
//   F6, Shift+F6   the next or previous control that is drawn, in screen order (kScreenOrder)
//   Space, Return  toggle the focused check box or press the focused button; Return in the
//                  message line sends
//   Backspace      erase the focused field's last character
//   Ctrl+S, Ctrl+L save the log, clear the log
//   Alt+C, Alt+D   Connect, Disconnect (Left Alt), wherever the focus is
//   F8             new log lines spoken or not, said by a log line (only with a screen reader)
void handleKey(App& app, SDL_Keycode key, std::uint16_t mod);
// What a click on the control does (a button pressed, a box toggled, a field focused); how a
// screen reader's action reaches it.
void activateControl(App& app, const ControlRef& control);
// Routes one event. Returns false for SDL_QUIT, after which no further queued event is handled.
bool handleEvent(App& app, const SDL_Event& event);
// Handles every queued event, stopping right after an SDL_QUIT. Returns how many it handled.
std::size_t drainEvents(App& app);

// ---- The frame -----------------------------------------------------------------------------------

// Clears the window, draws the panels, the notice, the form and, last, the log. Does not present.
void drawFrame(App& app, SDL_Renderer* renderer, text::FontSet& fonts);

// ---- The loop and shut-down ------------------------------------------------------------------------

// Frame pacing for renderers whose synchronised present does not really wait (software rendering,
// virtual displays): a frame that took less than kFastFrameMs is stretched to kFrameMs.
inline constexpr std::uint64_t kFrameMs = 16;
inline constexpr std::uint64_t kFastFrameMs = 15;
// How long to wait after a frame that took `frameMs`.
std::uint32_t frameWaitMs(std::uint64_t frameMs);

// What a frame shows that can change without an event: the log (a line added, a clear, the scroll
// position) and the caret's phase. Everything else changes only through events.
struct FrameInputs {
    std::uint64_t logNextId = 0;
    std::size_t logLines = 0;
    std::int32_t scroll = 0;
    bool caretOn = false;   // a field has focus and the caret clock is in an "on" period
    bool operator==(const FrameInputs& o) const {
        return logNextId == o.logNextId && logLines == o.logLines && scroll == o.scroll && caretOn == o.caretOn;
    }
    bool operator!=(const FrameInputs& o) const { return !(*this == o); }
};
// Takes the log's lock briefly.
FrameInputs frameInputs(const App& app);

// What a screen reader bridge adds to the loop; empty, the loop runs as without one.
struct LoopHooks {
    // Each pass, after the frame is drawn or skipped; `eventsHandled`: the pass handled events,
    // the only way the form, the focus or the window's place and focus change.
    std::function<void(App&, bool eventsHandled)> afterFrame;
    std::function<void(std::uint32_t ms)> wait;    // instead of SDL_Delay, answering requests meanwhile
};

// Until quit is requested: drains events, draws and presents a frame, waits out a fast frame.
// A frame that would repeat the one on screen exactly (no event handled, same FrameInputs) is not
// drawn again, so an idle window costs next to nothing on displays whose present does not wait.
void runMainLoop(App& app, SDL_Renderer* renderer, text::FontSet& fonts, const LoopHooks& hooks = {});

// At exit: stops and joins the worker if a Connect started it; the buttons are left as they are.
// Then drops the log's textures, which must go before the renderer does.
void shutDownApp(App& app);

}  // namespace vchat
