// tallowmarch_test_updater: the updater as the tests run it. It trusts the test key, and
// TM_TEST_TIME_DIVISOR (a whole number, default 1) divides every wait and retry pause, so that
// the tests see the 60, 30 and 20-second time-outs run their course in a fraction of the time.
#include <cstdlib>

#include "updater_main.h"
#include "updater_options.h"

int main(int argc, char** argv) {
  const char* divisor = std::getenv("TM_TEST_TIME_DIVISOR");
  if (divisor != nullptr && std::atoi(divisor) > 1) {
    tallowmarch::updater::State().timeDivisor = static_cast<std::uint32_t>(std::atoi(divisor));
  }
  return tallowmarch::updater::RunUpdaterProcess(argc, argv);
}
