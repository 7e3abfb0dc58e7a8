// ordwin: the GG server's program entry.
#include "app/Program.h"

int main(int argc, char** argv) { return ordwin::RunOrdwin(argc, argv); }
