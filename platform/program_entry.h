// The entry of a program built on the platform layer. The platform's own main (wmain on Windows)
// prepares the process and hands this the command line as the user typed it, in UTF-8.
#pragma once

int program_main(int argc, char** argv);
