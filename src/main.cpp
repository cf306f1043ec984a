// Glimmerworks: a batch photo editor. One instance per user; files given on the command line
// (or by the desktop's "open with") are queued, in the running instance if there is one.

#include "ApplicationMain.h"

int main(int argc, char* argv[]) {
    return applicationMain(argc, argv);
}
