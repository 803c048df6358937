// tallowmarch_updater: verifies, stages and swaps in an update of the host application.
#include "updater_main.h"

int main(int argc, char** argv) {
  return tallowmarch::updater::RunUpdaterProcess(argc, argv);
}
