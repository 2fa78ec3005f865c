#include "app/application_values.h"

namespace quillmere::app {

ApplicationValues& applicationValues() {
    static ApplicationValues values;
    return values;
}

} // namespace quillmere::app
