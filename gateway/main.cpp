#include <csignal>

#include "zandrel.h"

int main() {
  // A front end that stops reading must not kill us in the middle of a
  // write to a base; the reply is simply lost.
  std::signal(SIGPIPE, SIG_IGN);
  startUp();
  return commandLoop();
}
