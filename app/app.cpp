#include "app/app.h"

#include <cstring>
#include <mutex>
#include <string>
#include <utility>

#include "actions/connect_action.h"
#include "actions/send_action.h"
#include "app/speech_policy.h"
#include "log/log_file.h"

namespace vchat {

namespace {

ResolveChannel resolver(const App& app) { return ResolveChannel{&app.presetChannels}; }

ConnectionButtons connectionButtons(Form& form) {
    return ConnectionButtons{form.buttons[kConnect].disabled, form.buttons[kDisconnect].disabled};
}

void connect(App& app) {
    ConnectForm form = connectForm(app.form);
    onConnect(app.connected, connectionButtons(app.form), form, app.log, app.worker, resolver(app));
}

void disconnect(App& app) { onDisconnect(app.connected, connectionButtons(app.form), app.worker); }

void send(App& app) {
    SendForm form = sendForm(app.form);
    onSend(app.connected, form, app.log, app.worker, resolver(app));
}

// The report line comes after the file is closed, so it is never part of the file it names.
void saveAndReport(App& app, std::string_view failureText) {
    const SaveResult result = saveLog(app.log);
    if (result.ok) {
        app.log.append(std::string(kSavedLogPrefix) + result.fileName);
    } else {
        app.log.append(failureText);
    }
}

void focus(App& app, std::optional<FieldId> id) {
    for (TextField& field : app.form.fields) field.focused = false;
    app.focusedField = id;
    app.focusedControl.reset();
    if (!id) return;
    TextField& field = app.form.fields[*id];
    field.focused = true;
    // An input method places its candidate window by this, below the field being typed into.
    SDL_Rect onScreen = app.scale.rect(field.rect);
    SDL_SetTextInputRect(&onScreen);
}

bool ctrlHeld(std::uint16_t mod) { return (mod & (KMOD_LCTRL | KMOD_RCTRL)) != 0; }

void focusControl(App& app, const ControlRef& control) {
    if (control.kind == ControlKind::field) {
        focus(app, static_cast<FieldId>(control.index));
        return;
    }
    focus(app, std::nullopt);
    app.focusedControl = control;
}

// F6 (step +1) and Shift+F6 (-1): from the focused control to the next one drawn, round the end.
void moveFocus(App& app, int step) {
    constexpr int count = static_cast<int>(std::size(kScreenOrder));
    std::optional<ControlRef> current = app.focusedControl;
    if (app.focusedField) current = ControlRef{ControlKind::field, *app.focusedField};
    int at = step > 0 ? -1 : count;
    for (int i = 0; current && i < count; ++i) {
        if (kScreenOrder[i] == *current) at = i;
    }
    for (int n = 0; n < count; ++n) {
        at = ((at + step) % count + count) % count;
        if (controlShown(app.form, kScreenOrder[at])) {
            focusControl(app, kScreenOrder[at]);
            return;
        }
    }
}

void toggleSpeaking(App& app) {
    if (!app.screenReader) return;   // without one, F8 stays a key that does nothing
    app.speakNewLines = !app.speakNewLines;
    app.log.append(app.speakNewLines ? access::kSpeakingOnText : access::kSpeakingOffText);
}

void pressButton(App& app, ButtonId id) {
    if (app.form.buttons[id].disabled) return;
    switch (id) {
        case kConnect: connect(app); break;
        case kDisconnect: disconnect(app); break;
        case kSend: send(app); break;
        case kSaveLog: saveAndReport(app, kSaveFailedButtonText); break;
        case kClearLog: app.log.clear(); break;
        case kButtonCount: break;
    }
}

// Space or Return on the focused check box or button; false when neither has the focus.
bool activateFocused(App& app) {
    if (!app.focusedControl) return false;
    const ControlRef c = *app.focusedControl;
    if (c.kind == ControlKind::box) app.form.boxes[c.index].ticked = !app.form.boxes[c.index].ticked;
    if (c.kind == ControlKind::button) pressButton(app, static_cast<ButtonId>(c.index));
    return true;
}

// The ring around a check box or button that has the keyboard focus, a little outside it.
void drawFocusRing(App& app, SDL_Renderer* renderer) {
    if (!app.focusedControl) return;
    const ControlRef c = *app.focusedControl;
    SDL_Rect r = c.kind == ControlKind::button ? app.form.buttons[c.index].rect
                                               : SDL_Rect{app.form.boxes[c.index].rect.x, app.form.boxes[c.index].rect.y,
                                                          kBoxSize, kBoxSize};
    r = SDL_Rect{r.x - kFocusRingGap, r.y - kFocusRingGap, r.w + 2 * kFocusRingGap, r.h + 2 * kFocusRingGap};
    outlineRect(renderer, app.scale.rect(r), kFieldOutlineFocused, kFocusRingWidth * app.scale.lineWidth());
}

void setColour(SDL_Renderer* renderer, SDL_Color c) { SDL_SetRenderDrawColor(renderer, c.r, c.g, c.b, c.a); }

void drawFieldWithCaption(App& app, SDL_Renderer* renderer, text::FontSet& fonts, const TextField& field) {
    // drawLabel skips an empty caption (the message line has none).
    drawLabel(renderer, fonts, field.label, app.scale.edge(field.rect.x), app.scale.edge(field.rect.y - kLabelOffset));
    drawTextField(renderer, fonts, field, app.ticks(), app.scale);
}

Rect toLogRect(const SDL_Rect& r) { return Rect{r.x, r.y, r.w, r.h}; }

}  // namespace

void activateControl(App& app, const ControlRef& control) {
    switch (control.kind) {
        case ControlKind::field: focus(app, static_cast<FieldId>(control.index)); break;
        case ControlKind::box: app.form.boxes[control.index].ticked = !app.form.boxes[control.index].ticked; break;
        case ControlKind::button: pressButton(app, static_cast<ButtonId>(control.index)); break;
    }
}

ConnectForm connectForm(Form& f) {
    auto text = [&f](FieldId id) -> std::string& { return f.fields[id].text; };
    auto ticked = [&f](BoxId id) -> const bool& { return f.boxes[id].ticked; };
    return ConnectForm{text(kBrokerHost),     text(kPort),           text(kUsername),       text(kPassword),
                       text(kRootTopic),      text(kChannel),        text(kChannelPsk),     text(kCaPath),
                       text(kPskIdentity),    text(kPskKey),         ticked(kDecodeRaw),    ticked(kHideNodeinfo),
                       ticked(kHidePosition), ticked(kHideTelemetry), ticked(kHideTraceroute), ticked(kUseTls),
                       ticked(kVerifyServer), ticked(kTlsPskMode)};
}

SendForm sendForm(Form& f) {
    auto text = [&f](FieldId id) -> std::string& { return f.fields[id].text; };
    return SendForm{text(kMessageLine), text(kFromId),    text(kGatewayHex),
                    text(kChannel),     text(kShortName), text(kLongName),
                    text(kRootTopic),   text(kToId),      f.boxes[kBroadcast].ticked};
}

App::App(std::uint32_t nodeNumber, TickSource tickSource)
    : form(buildForm(nodeNumber)), presetChannels(makePresetChannels()), ticks(std::move(tickSource)) {
    log.rect = toLogRect(kLogRect);
}

void setScale(App& app, const Scale& scale) {
    app.scale = scale;
    app.log.rect = toLogRect(scale.rect(kLogRect));
    const LogInsets& plain = kLogInsets;
    app.log.insets = LogInsets{scale.length(plain.left),       scale.length(plain.top),
                               scale.length(plain.bottom),     scale.length(plain.wrapMargin),
                               scale.length(plain.fallbackExtra), scale.lineWidth()};
}

void handleClick(App& app, int x, int y) {
    // Focus: every field is tested, the hidden TLS-PSK fields too.
    std::optional<FieldId> hit;
    const Scale& s = app.scale;
    for (std::size_t i = 0; i < kFieldCount; ++i) {
        if (hitsScaled(app.form.fields[i].rect, s, x, y)) hit = static_cast<FieldId>(i);
    }
    focus(app, hit);

    for (ButtonId id : {kConnect, kDisconnect, kSend, kSaveLog, kClearLog}) {
        if (hitsScaled(app.form.buttons[id].rect, s, x, y)) pressButton(app, id);
    }

    for (Checkbox& box : app.form.boxes) {
        if (checkboxHit(box, x, y, s)) box.ticked = !box.ticked;
    }
}

void handleKey(App& app, SDL_Keycode key, std::uint16_t mod) {
    if ((mod & KMOD_LALT) != 0 && (key == SDLK_c || key == SDLK_d)) {
        pressButton(app, key == SDLK_c ? kConnect : kDisconnect);
        return;
    }
    switch (key) {
        case SDLK_RETURN:
            if (activateFocused(app)) return;
            if (app.focusedField == kMessageLine) send(app);
            return;
        case SDLK_SPACE:
            activateFocused(app);   // in a field the space arrives as text
            return;
        case SDLK_F6:
            moveFocus(app, (mod & KMOD_SHIFT) != 0 ? -1 : 1);
            return;
        case SDLK_BACKSPACE:
            if (app.focusedField) eraseLastCharacter(app.form.fields[*app.focusedField]);
            return;
        case SDLK_TAB: {
            // Always forward, Shift or not; after the last field comes the first.
            const std::size_t next = app.focusedField ? (*app.focusedField + 1) % kFieldCount : kBrokerHost;
            focus(app, static_cast<FieldId>(next));
            return;
        }
        case SDLK_ESCAPE:
            focus(app, std::nullopt);
            return;
        case SDLK_F8:
            toggleSpeaking(app);
            return;
        case SDLK_s:
            if (ctrlHeld(mod)) saveAndReport(app, kSaveFailedKeyText);
            return;
        case SDLK_l:
            if (ctrlHeld(mod)) app.log.clear();
            return;
        default:
            return;
    }
}

bool handleEvent(App& app, const SDL_Event& event) {
    switch (event.type) {
        case SDL_QUIT:
            app.quitRequested = true;
            return false;
        case SDL_MOUSEBUTTONDOWN:
            handleClick(app, event.button.x, event.button.y);
            break;
        case SDL_MOUSEWHEEL:
            app.log.wheel(event.wheel.y);
            break;
        case SDL_TEXTINPUT:
            if (app.focusedField && !app.leftAltDown) {
                const char* bytes = event.text.text;
                appendText(app.form.fields[*app.focusedField],
                           std::string_view(bytes, strnlen(bytes, sizeof event.text.text)));
            }
            break;
        case SDL_KEYDOWN:
            if (event.key.keysym.sym == SDLK_LALT) app.leftAltDown = true;
            handleKey(app, event.key.keysym.sym, event.key.keysym.mod);
            break;
        case SDL_KEYUP:
            if (event.key.keysym.sym == SDLK_LALT) app.leftAltDown = false;
            break;
        case SDL_WINDOWEVENT:
            // Released elsewhere, the key's release never comes here.
            if (event.window.event == SDL_WINDOWEVENT_FOCUS_LOST) app.leftAltDown = false;
            if (event.window.event == SDL_WINDOWEVENT_FOCUS_GAINED) app.windowActive = true;
            if (event.window.event == SDL_WINDOWEVENT_FOCUS_LOST) app.windowActive = false;
            break;
        default:
            break;
    }
    return true;
}

std::size_t drainEvents(App& app) {
    std::size_t handled = 0;
    SDL_Event event;
    while (SDL_PollEvent(&event)) {
        ++handled;
        if (!handleEvent(app, event)) break;
    }
    return handled;
}

void drawFrame(App& app, SDL_Renderer* renderer, text::FontSet& fonts) {
    setColour(renderer, kPalette.background);
    SDL_RenderClear(renderer);
    const Scale& s = app.scale;
    for (const SDL_Rect& layoutPanel : kPanels) {
        const SDL_Rect panel = s.rect(layoutPanel);
        setColour(renderer, kPalette.panel);
        SDL_RenderFillRect(renderer, &panel);
        outlineRect(renderer, panel, kPalette.border, s.lineWidth());
    }
    drawWrappedCentered(renderer, fonts, std::string(kNoticeText), s.rect(kNoticeRect), kPalette.caption);

    const Form& form = app.form;
    const bool showPsk = pskFieldsVisible(form);
    for (const DrawItem& item : kDrawOrder) {
        switch (item.kind) {
            case DrawKind::pskField:
                if (!showPsk) break;
                [[fallthrough]];
            case DrawKind::field:
                drawFieldWithCaption(app, renderer, fonts, form.fields[item.index]);
                break;
            case DrawKind::box:
                drawCheckbox(renderer, fonts, form.boxes[item.index], s);
                break;
            case DrawKind::button:
                drawButton(renderer, fonts, form.buttons[item.index], s);
                break;
        }
    }
    drawFocusRing(app, renderer);
    drawLog(renderer, fonts, app.log, app.logCache);
}

std::uint32_t frameWaitMs(std::uint64_t frameMs) {
    return frameMs < kFastFrameMs ? static_cast<std::uint32_t>(kFrameMs - frameMs) : 0;
}

FrameInputs frameInputs(const App& app) {
    FrameInputs inputs;
    {
        std::lock_guard<std::mutex> lock(app.log.mutex);
        inputs.logNextId = app.log.nextId;
        inputs.logLines = app.log.lines.size();
        inputs.scroll = app.log.scroll;
    }
    inputs.caretOn = app.focusedField.has_value() && caretVisible(app.ticks());
    return inputs;
}

void runMainLoop(App& app, SDL_Renderer* renderer, text::FontSet& fonts, const LoopHooks& hooks) {
    std::optional<FrameInputs> shown;
    while (!app.quitRequested) {
        const std::uint64_t frameStart = SDL_GetTicks64();
        const std::size_t events = drainEvents(app);
        const FrameInputs inputs = frameInputs(app);
        // Window-system events (exposure, focus) count as events too, so a damaged window is redrawn.
        if (events > 0 || shown != inputs || app.quitRequested) {
            drawFrame(app, renderer, fonts);
            SDL_RenderPresent(renderer);
            shown = inputs;
        }
        if (hooks.afterFrame) hooks.afterFrame(app, events > 0);
        // The synchronised present paces the loop on a real display; where it returns at once, this
        // keeps an idle window from redrawing as fast as the machine allows.
        const std::uint32_t wait = frameWaitMs(SDL_GetTicks64() - frameStart);
        if (wait > 0) {
            if (hooks.wait) hooks.wait(wait);
            else SDL_Delay(wait);
        }
    }
}

void shutDownApp(App& app) {
    if (app.connected.load()) app.worker.stop();
    resetLogDrawCache(app.logCache);
}

}  // namespace vchat
