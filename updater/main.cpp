// tallowmarch_updater: verifies, stages and swaps in an update of the host application.
#include <string>
#include <vector>

#include "common/wide_text.h"
#include "updater_main.h"

int main(int argc, char** argv) {
  // The command line is UTF-8 here; it is widened once and the updater works on wide text.
  std::vector<std::wstring> arguments;
  arguments.reserve(static_cast<size_t>(argc));
  for (int i = 0; i < argc; ++i) arguments.push_back(tallowmarch::Widen(argv[i]));
  return tallowmarch::updater::UpdaterMain(arguments);
}
