// batchPosix.cpp -- a batch on POSIX: child processes, each with a store folder of its own
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "cli/batch.h"
#include "cli/interrupt.h"
#include "core/fixedFiles.h"

namespace {

struct Slot {
  std::string folder;  // the child's BRISEL_DIR, its error lines beside it
  pid_t pid = 0;
  size_t file = 0;
};

std::string errorsPath(const Slot& slot) { return slot.folder + ".err"; }

void removeSlot(const Slot& slot) {
  // The module leaves no files behind a finished run; a killed one may.
  for (const char* name : {kColourStoreName, kExtraStoreName, kMaskStoreName, kSettingsFileName}) {
    unlink((slot.folder + "/" + plainFileName(name)).c_str());
  }
  rmdir(slot.folder.c_str());
  unlink(errorsPath(slot).c_str());
}

// The module's threads for each child: the children together take no more
// threads than there are cores, unless the user chose BRISEL_THREADS.
std::string threadsPerChild(int jobs) {
  const unsigned cores = std::thread::hardware_concurrency();
  const unsigned each = jobs > 0 && cores > 0 ? cores / unsigned(jobs) : 1;
  return std::to_string(each > 0 ? each : 1);
}

pid_t startChild(const Slot& slot, const BatchFile& file, const std::vector<std::string>& arguments,
                 const std::string& threads, std::string* error) {
  // The files after "--": a name that begins with - is never read as an option.
  std::vector<std::string> words = {"brisel", "apply"};
  words.insert(words.end(), arguments.begin(), arguments.end());
  words.insert(words.end(), {"--", file.input, file.output});
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(&word[0]);
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid < 0) {
    *error = std::string("cannot start a run: ") + std::strerror(errno);
    return -1;
  }
  if (pid == 0) {
    std::signal(SIGPIPE, SIG_DFL);
    setenv("BRISEL_DIR", slot.folder.c_str(), 1);
    setenv("BRISEL_THREADS", threads.c_str(), 0);
    const int out = open("/dev/null", O_WRONLY);
    const int err = open(errorsPath(slot).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (out >= 0) dup2(out, 1);
    if (err >= 0) dup2(err, 2);
    execv("/proc/self/exe", argv.data());
    _exit(127);
  }
  return pid;
}

std::string readLines(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

int maxBatchJobs(int requested) { return requested; }

bool runBatch(const std::vector<BatchFile>& files, const std::vector<std::string>& arguments,
              int jobs, const BatchRunHere&, const BatchDone& done, std::string* error) {
  // A reader that goes away (| head, | grep -q) must not end the batch before
  // it has waited for its runs and removed their folders.
  std::signal(SIGPIPE, SIG_IGN);
  const char* tmp = std::getenv("TMPDIR");
  std::string root = std::string(tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp") + "/brisel-XXXXXX";
  if (mkdtemp(&root[0]) == nullptr) {
    *error = "cannot make a private folder for the runs in " + root + ": " + std::strerror(errno);
    return false;
  }
  std::vector<Slot> slots(static_cast<size_t>(jobs));
  const std::string threads = threadsPerChild(jobs);
  for (size_t i = 0; i < slots.size(); ++i) {
    slots[i].folder = root + "/job" + std::to_string(i);
    mkdir(slots[i].folder.c_str(), 0700);
  }
  size_t next = 0;
  size_t running = 0;
  bool stopping = false;
  bool ok = true;
  for (;;) {
    if (*interruptFlag() != 0 && !stopping) {
      // A terminal's interrupt reaches the children too; a signal sent to
      // this process alone is passed on.
      stopping = true;
      for (const Slot& slot : slots) {
        if (slot.pid > 0) kill(slot.pid, SIGTERM);
      }
    }
    for (Slot& slot : slots) {
      if (slot.pid != 0 || stopping || next >= files.size()) continue;
      const pid_t pid = startChild(slot, files[next], arguments, threads, error);
      if (pid < 0) {
        stopping = true;
        ok = false;
        break;
      }
      slot.pid = pid;
      slot.file = next++;
      ++running;
    }
    if (running == 0) break;
    int status = 0;
    // Polled, so that an interrupt is seen while every child is still busy.
    const pid_t ended = waitpid(-1, &status, WNOHANG);
    if (ended == 0 || (ended < 0 && errno == EINTR)) {
      usleep(20000);
      continue;
    }
    if (ended < 0) break;
    for (Slot& slot : slots) {
      if (slot.pid != ended) continue;
      slot.pid = 0;
      --running;
      const bool succeeded = WIFEXITED(status) && WEXITSTATUS(status) == 0;
      std::string lines = readLines(errorsPath(slot));
      if (!succeeded && lines.empty()) {
        lines =
            "brisel: error: " + files[slot.file].input + ": the run " +
            (WIFSIGNALED(status) ? "was ended by signal " + std::to_string(WTERMSIG(status))
                                 : "failed with exit code " + std::to_string(WEXITSTATUS(status))) +
            "\n";
      }
      done(files[slot.file], succeeded, lines);
    }
  }
  for (const Slot& slot : slots) removeSlot(slot);
  rmdir(root.c_str());
  return ok;
}
