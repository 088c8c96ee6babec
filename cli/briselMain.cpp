// briselMain.cpp -- the command-line host: runs the filter module on image files, one or a batch
#include <new>

#include "cli/applyBatch.h"
#include "cli/applyFile.h"
#include "cli/arguments.h"
#include "cli/interrupt.h"
#include "cli/runReport.h"

int main(int argc, char** argv) {
  catchInterrupts();
  // Memory running out anywhere is one line and a failure, never an abort;
  // a file's run has already removed its unfinished files.
  try {
    Arguments args;
    if (const int code = parseArguments(argc, argv, &args)) return code;
    settleDialogChoice(&args);
    if (!args.outputFolder.empty()) return applyBatch(args);
    return applyFile(args, args.inputs[0], args.output, false);
  } catch (const std::bad_alloc&) {
    return fail("not enough memory");
  }
}
