#include "run/ExportRun.h"

int main(int argc, char** argv) {
  return ExportRun::run(argc, argv);
}
