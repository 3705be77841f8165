#include "child.h"

#include <chrono>
#include <map>
#include <thread>

#include "child_host.h"
#include "msgapi.h"

namespace zt {

namespace {

std::map<std::string, ChildMain>& Registry() {
  static std::map<std::string, ChildMain> functions;
  return functions;
}

constexpr char kChildFlag[] = "--zt-child";

// HoldLock's child. Arguments: path, offset, length, milliseconds.
int HoldLockChild(const std::vector<std::string>& a) {
  if (a.size() != 4) return 2;
  if (!LockAsAnotherProgram(a[0], dword(std::stoul(a[1])), dword(std::stoul(a[2])))) return 1;
  ChildSignalReady();
  std::this_thread::sleep_for(std::chrono::milliseconds(std::stoi(a[3])));
  return 0;  // the lock goes with the process
}

constexpr char kHoldLockChild[] = "hold-lock";
const ChildFunction hold_lock(kHoldLockChild, HoldLockChild);

}  // namespace

ChildFunction::ChildFunction(const char* name, ChildMain fn) { Registry()[name] = fn; }

ChildMain FindChildFunction(const std::string& name) {
  auto it = Registry().find(name);
  return it == Registry().end() ? nullptr : it->second;
}

std::vector<std::string> ChildCommandLine(const std::string& name,
                                          const std::vector<std::string>& args) {
  std::vector<std::string> line{kChildFlag, name};
  line.insert(line.end(), args.begin(), args.end());
  return line;
}

bool RunChildIfAsked(int argc, char** argv, int* status) {
  if (argc < 3 || std::string(argv[1]) != kChildFlag) return false;
  PrepareChildStreams();
  _minf minf{0, 2, 1};
  MsgOpenApi(&minf);  // as the test program has it open
  ChildMain fn = FindChildFunction(argv[2]);
  *status = fn ? fn(std::vector<std::string>(argv + 3, argv + argc)) : 127;
  return true;
}

std::vector<int> RunTogether(const std::string& name,
                             const std::vector<std::vector<std::string>>& args) {
  std::vector<std::unique_ptr<Child>> kids;
  for (const auto& a : args) kids.push_back(std::make_unique<Child>(name, a));
  for (auto& k : kids) k->Release();
  std::vector<int> statuses;
  for (auto& k : kids) statuses.push_back(k->Wait());
  return statuses;
}

std::unique_ptr<Child> HoldLock(const std::string& path, dword offset, dword length, int hold_ms) {
  auto c = std::make_unique<Child>(
      kHoldLockChild,
      std::vector<std::string>{path, std::to_string(offset), std::to_string(length),
                               std::to_string(hold_ms)});
  if (!c->Ready()) return nullptr;
  return c;
}

}  // namespace zt
