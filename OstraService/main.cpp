#include "OstraService/Entry.h"

int main(int argc, char* argv[]) { return runEntry(argc, argv); }
