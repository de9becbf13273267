#include "front_end.h"

#ifndef TEVU_LOCALEDIR
#error "TEVU_LOCALEDIR must name the message catalogue directory"
#endif

int main(int argc, char** argv) { return tevu::condition::run_command(argc, argv, TEVU_LOCALEDIR); }
