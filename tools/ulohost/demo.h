// `ulohost demo`: the whole chain with no set-up. The simulator serves a
// pseudo-terminal, a temporary port directory maps COM1 to it, and the host
// runs a generated config against it with a short script of commands.
#ifndef ULOPR1_TOOLS_ULOHOST_DEMO_H
#define ULOPR1_TOOLS_ULOHOST_DEMO_H

#include <string>

#include "app.h"

namespace ulohost {

struct DemoOptions {
  std::string prv1sim;  // empty: the one beside ulohost
  double rate = 2;      // simulator reports per second
};

// The config the demo runs, for a port directory and working directory.
std::string DemoConfigText(const std::string &dir);

int RunDemo(RunOptions options, const DemoOptions &demo);

}  // namespace ulohost

#endif  // ULOPR1_TOOLS_ULOHOST_DEMO_H
