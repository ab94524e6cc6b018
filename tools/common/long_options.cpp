#include "tools/common/long_options.h"

namespace vchat::tools {

namespace {

constexpr char kTakesNoValue[] = " takes no value";
constexpr char kNeedsValue[] = " needs a value";
constexpr char kUnknownOption[] = "unknown option \"";
constexpr char kUnexpectedArgument[] = "unexpected argument \"";

}  // namespace

ValueOption nonEmptyValue(const std::string& name, const std::string& what, std::string& field, bool& alsoSet,
                          std::string& error) {
    return [name, what, &field, &alsoSet, &error](const std::string& value) {
        if (value.empty()) {
            error = name + ": empty " + what;
            return false;
        }
        field = value;
        alsoSet = true;
        return true;
    };
}

ValueOption nonEmptyValue(const std::string& name, const std::string& what, std::string& field, std::string& error) {
    return [name, what, &field, &error](const std::string& value) {
        bool unused = false;
        return nonEmptyValue(name, what, field, unused, error)(value);
    };
}

bool parseLongOptions(const std::vector<std::string>& args, const std::map<std::string, ValueOption>& withValue,
                      const std::map<std::string, FlagOption>& flags, std::string& error) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::string value;
        bool inlineValue = false;
        const std::size_t eq = name.find('=');
        if (name.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
            inlineValue = true;
        }
        if (auto flag = flags.find(name); flag != flags.end()) {
            if (inlineValue) {
                error = name + kTakesNoValue;
                return false;
            }
            flag->second();
            continue;
        }
        auto handler = withValue.find(name);
        if (handler == withValue.end()) {
            error = (name.rfind("-", 0) == 0 ? kUnknownOption : kUnexpectedArgument) + args[i] + "\"";
            return false;
        }
        if (!inlineValue) {
            if (i + 1 >= args.size()) {
                error = name + kNeedsValue;
                return false;
            }
            value = args[++i];
        }
        if (!handler->second(value)) return false;
    }
    return true;
}

}  // namespace vchat::tools
