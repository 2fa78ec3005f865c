#include "app/guard.h"

namespace quillmere::app {

void Guard::report(int label, const std::exception_ptr& failure) noexcept {
    ++failures_;
    try {
        dialogs_.messageBox(
            composeFailureMessage(describeException(failure), location_, label, fileText_),
            BoxStyle::Exclamation, kFailureTitle);
    } catch (...) {
        // A report that cannot be shown must not take the handler, or the process, down with it.
    }
}

} // namespace quillmere::app
