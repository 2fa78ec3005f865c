#include "app/application_values.h"

namespace quillmere {

ApplicationValues& applicationValues() {
    static ApplicationValues values;
    return values;
}

} // namespace quillmere
