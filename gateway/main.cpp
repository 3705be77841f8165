#include "host.h"
#include "zandrel.h"

int main() {
  host_startup();
  startUp();
  return commandLoop();
}
