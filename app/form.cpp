#include "app/form.h"

#include <cstdio>

namespace vchat {

std::string fromIdDefault(std::uint32_t nodeNumber) { return std::to_string(nodeNumber); }

std::string gatewayHexDefault(std::uint32_t nodeNumber) {
    char hex[9];
    std::snprintf(hex, sizeof hex, "%08x", static_cast<unsigned>(nodeNumber));
    return hex;
}

Form buildForm(std::uint32_t nodeNumber) {
    Form form;
    for (std::size_t i = 0; i < kFieldCount; ++i) {
        const FieldRow& row = kFieldTable[i];
        TextField& field = form.fields[i];
        field.rect = row.rect;
        field.label = std::string(row.caption);
        field.text = std::string(row.text);
        field.masked = row.masked;
    }
    form.fields[kFromId].text = fromIdDefault(nodeNumber);
    form.fields[kGatewayHex].text = gatewayHexDefault(nodeNumber);

    for (std::size_t i = 0; i < kBoxCount; ++i) {
        const BoxRow& row = kBoxTable[i];
        form.boxes[i].rect = SDL_Rect{row.x, row.y, kBoxSize, kBoxSize};
        form.boxes[i].label = std::string(row.caption);
        form.boxes[i].ticked = row.ticked;
    }
    for (std::size_t i = 0; i < kButtonCount; ++i) {
        const ButtonRow& row = kButtonTable[i];
        form.buttons[i].rect = row.rect;
        form.buttons[i].label = std::string(row.caption);
        form.buttons[i].disabled = row.disabled;
    }
    return form;
}

bool pskFieldsVisible(const Form& form) { return form.boxes[kUseTls].ticked && form.boxes[kTlsPskMode].ticked; }

bool controlShown(const Form& form, const ControlRef& control) {
    const bool pskField =
        control.kind == ControlKind::field && (control.index == kPskIdentity || control.index == kPskKey);
    return !pskField || pskFieldsVisible(form);
}

}  // namespace vchat
