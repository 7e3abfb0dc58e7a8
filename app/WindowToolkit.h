// Starts Qt's window toolkit on the display this session has, or finds that there is none.
#pragma once

#include <memory>

#include <QApplication>

namespace ordwin {

// The application object on a real display, or null where none can be reached: no DISPLAY or
// WAYLAND_DISPLAY, a display that does not answer, or a platform named in QT_QPA_PLATFORM that
// cannot start. Qt's offscreen platform is the last resort of every try; landing there means no
// display, unless the user named it. What the toolkit prints while it looks is dropped when there
// is no display (the caller says so in one line) and passed on when there is one.
std::unique_ptr<QApplication> StartWindowToolkit(int& argc, char** argv);

}  // namespace ordwin
