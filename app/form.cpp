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
        const FieldSpec& spec = kFieldTable[i];
        TextField& field = form.fields[i];
        field.rect = spec.rect;
        field.label = std::string(spec.caption);
        field.text = std::string(spec.text);
        field.masked = spec.masked;
    }
    form.fields[kFromId].text = fromIdDefault(nodeNumber);
    form.fields[kGatewayHex].text = gatewayHexDefault(nodeNumber);

    for (std::size_t i = 0; i < kBoxCount; ++i) {
        const BoxSpec& spec = kBoxTable[i];
        form.boxes[i].rect = SDL_Rect{spec.x, spec.y, kBoxSize, kBoxSize};
        form.boxes[i].label = std::string(spec.caption);
        form.boxes[i].ticked = spec.ticked;
    }
    for (std::size_t i = 0; i < kButtonCount; ++i) {
        const ButtonSpec& spec = kButtonTable[i];
        form.buttons[i].rect = spec.rect;
        form.buttons[i].label = std::string(spec.caption);
        form.buttons[i].disabled = spec.disabled;
    }
    return form;
}

bool pskFieldsVisible(const Form& form) { return form.boxes[kUseTls].ticked && form.boxes[kTlsPskMode].ticked; }

}  // namespace vchat
