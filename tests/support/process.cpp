#include "tests/support/process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace busfold::testing {

ProcessResult run_process(const std::string& program, const std::vector<std::string>& args,
                          const std::string& working_folder) {
  ProcessResult result;
  std::vector<std::string> strings = {program};
  strings.insert(strings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& s : strings)
    argv.push_back(s.data());
  argv.push_back(nullptr);

  // The output goes to files in memory: no reading while the child runs, so no pipe fills.
  const int out = ::memfd_create("out", MFD_CLOEXEC), err = ::memfd_create("err", MFD_CLOEXEC);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err, STDERR_FILENO);
  posix_spawn_file_actions_addchdir_np(&actions, working_folder.c_str());
  pid_t pid = -1;
  int status = 0;
  if (out >= 0 && err >= 0 &&
      ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ) == 0) {
    pid_t waited;
    while ((waited = ::waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
    }
    if (waited == pid && WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
    if (waited == pid && WIFSIGNALED(status)) result.exit_status = 128 + WTERMSIG(status);
  }
  posix_spawn_file_actions_destroy(&actions);
  for (auto [fd, text] : {std::pair{out, &result.out}, {err, &result.err}}) {
    if (fd < 0) continue;
    char chunk[4096];
    ::lseek(fd, 0, SEEK_SET);
    for (ssize_t got; (got = ::read(fd, chunk, sizeof chunk)) > 0;)
      text->append(chunk, static_cast<std::size_t>(got));
    ::close(fd);
  }
  return result;
}

}  // namespace busfold::testing
