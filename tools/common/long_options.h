// Long options in the usual Unix form for the tools: "--name value", "--name=value" and flags.
//
// Error convention: parseLongOptions returns bool; on false `error` holds one line that names the
// option (a handler that refuses its value writes its own line).
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace vchat::tools {

// Takes the option's value; false when the value is refused (the handler has set the error).
using ValueOption = std::function<bool(const std::string& value)>;
using FlagOption = std::function<void()>;

// What a value handler calls to refuse: sets the error line, returns false.
struct Refusal {
    std::string& error;
    bool operator()(const std::string& message) const {
        error = message;
        return false;
    }
};

// A value that must not be empty ("<name>: empty <what>" otherwise): stored in `field`, and `alsoSet`
// becomes true (an option that only makes sense over TLS turns TLS on).
ValueOption nonEmptyValue(const std::string& name, const std::string& what, std::string& field, bool& alsoSet,
                          std::string& error);
// The same without a second effect.
ValueOption nonEmptyValue(const std::string& name, const std::string& what, std::string& field, std::string& error);

bool parseLongOptions(const std::vector<std::string>& args, const std::map<std::string, ValueOption>& withValue,
                      const std::map<std::string, FlagOption>& flags, std::string& error);

}  // namespace vchat::tools
