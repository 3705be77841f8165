#include "host.h"
#include "zandrel.h"

int main(int argc, char** argv) {
  host_startup();
  // Front ends pass no arguments; whatever they might pass is ignored.
  if (argc > 1 && runOption(argv[1])) return 0;
  startUp();
  return commandLoop();
}
