#include "TormaneMain.h"

int main(int argc, char** argv) { return TormaneMain(argc, argv); }
