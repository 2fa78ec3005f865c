#include "app/form1.h"

namespace quillmere {

Form1::Form1(QWidget* parent) : QWidget(parent) {
    setWindowTitle(QStringLiteral("Quillmere"));
    setFixedSize(1064, 340);
}

} // namespace quillmere
