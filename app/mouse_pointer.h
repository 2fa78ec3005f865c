#pragma once

// The main window's pointer values. The busy pointer doubles as the sign that a long command runs.
namespace quillmere::app::pointer {

constexpr int Default = 0;
constexpr int Arrow = 1;
constexpr int Busy = 11;
constexpr int Hand = 99;

} // namespace quillmere::app::pointer
