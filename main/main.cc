#include "main/hostmon.h"

int main(int argc, char **argv) { return HostmonMain(argc, argv); }
