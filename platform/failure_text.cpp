#include <string>

#include "orvalnest/text.hpp"
#include "trash.hpp"

namespace orvalnest::platform {

std::string TrashFailure::text() const {
    std::string out = "Error during a `trash` operation: ";
    switch (kind) {
        case TrashFailureKind::Unknown:
            out += "Unknown { description: " + quoted_form(description) + " }";
            break;
        case TrashFailureKind::Os:
            out += "Os { code: " + std::to_string(code) + ", description: " + quoted_form(description) + " }";
            break;
        case TrashFailureKind::CanonicalizePath:
            out += "CanonicalizePath { original: " + quoted_form_bytes(original) + " }";
            break;
    }
    return out;
}

}  // namespace orvalnest::platform
