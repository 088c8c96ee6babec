// batchWin32.cpp -- a batch on Windows: one file after another in this process (fixed c:\ store
// names)
#include "cli/batch.h"
#include "cli/interrupt.h"

int maxBatchJobs(int) { return 1; }

bool runBatch(const std::vector<BatchFile>& files, const std::vector<std::string>&, int,
              const BatchRunHere& runHere, const BatchDone& done, std::string*) {
  for (const BatchFile& file : files) {
    if (*interruptFlag() != 0) break;
    const int code = runHere(file);
    done(file, code == 0, "");
  }
  return true;
}
