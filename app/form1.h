#pragma once

#include <QWidget>

namespace quillmere {

class Form1 : public QWidget {
    Q_OBJECT
public:
    explicit Form1(QWidget* parent = nullptr);
};

} // namespace quillmere
