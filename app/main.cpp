// The program's main block.
#include "app/Program.h"

int main(int argc, char** argv) { return sonarix::RunProgram(argc, argv); }
