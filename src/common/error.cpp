#include "common/error.hpp"

namespace skylark {

std::string Error::localizedDescription() const {
    if (!message.empty()) {
        return message;
    }
    // A fixed text, with its typographic apostrophe (U+2019).
    return "The operation couldn\u2019t be completed. (" + domain + " error " +
           std::to_string(code) + ".)";
}

std::string Error::fullDescription() const {
    std::string text = "Error Domain=" + domain + " Code=" + std::to_string(code) + " \"" +
                       localizedDescription() + "\"";
    if (!message.empty()) {
        // A fixed text: the key name is part of the trace format scripts read.
        text += " UserInfo={NSLocalizedDescription=" + message + "}";
    }
    return text;
}

}  // namespace skylark
