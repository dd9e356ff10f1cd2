#include <cstdio>

#include "pelloryctl/commands.h"

int main(int argc, char** argv) { return PelloryctlMain(argc, argv, stdout, stderr); }
