// The program: the window, or the same form without one (--headless, or where no display can be
// reached), and the order in which everything is made and unmade.
#pragma once

namespace ordwin {

// Returns the process's exit code.
int RunOrdwin(int argc, char** argv);

}  // namespace ordwin
