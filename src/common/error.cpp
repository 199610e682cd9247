#include "common/error.hpp"

#include <utility>

namespace skylark {

Error Error::withDescription(std::string domain, std::int64_t code, std::string description) {
    Error error;
    error.domain = std::move(domain);
    error.code = code;
    error.userInfo.emplace(kLocalizedDescriptionKey, std::move(description));
    return error;
}

std::string Error::localizedDescription() const {
    if (auto it = userInfo.find(kLocalizedDescriptionKey); it != userInfo.end()) {
        return it->second;
    }
    // The platform's fallback, with its typographic apostrophe (U+2019).
    return "The operation couldn\u2019t be completed. (" + domain + " error " +
           std::to_string(code) + ".)";
}

std::string Error::fullDescription() const {
    std::string text = "Error Domain=" + domain + " Code=" + std::to_string(code) + " \"" +
                       localizedDescription() + "\"";
    if (!userInfo.empty()) {
        text += " UserInfo={";
        bool first = true;
        for (const auto& [key, value] : userInfo) {
            if (!first) {
                text += ", ";
            }
            first = false;
            text += key + "=" + value;
        }
        text += "}";
    }
    return text;
}

}  // namespace skylark
