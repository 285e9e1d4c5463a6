// A program that loads one library through the real platform layer: exit status 0 if it loaded.
#include "platform.h"

int main(int argc, char** argv) {
    return argc == 2 && platform::load_library(argv[1]) != nullptr ? 0 : 1;
}
