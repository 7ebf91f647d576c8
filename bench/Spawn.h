#pragma once

// The benchmarks' child processes: a program started with our pipes as its standard streams.

#include <unistd.h>

#include <initializer_list>
#include <string>
#include <vector>

namespace qorx::bench {

// Starts `argv` (argv[0] a path) with `in` and `out` as its standard input and output (-1
// keeps ours) and every descriptor of `closed` closed in the child. The child's pid, or -1.
inline pid_t Spawn(const std::vector<std::string>& argv, int in, int out,
                   std::initializer_list<int> closed) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  if (in >= 0) dup2(in, 0);
  if (out >= 0) dup2(out, 1);
  for (int fd : closed) close(fd);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  execv(args[0], args.data());
  _exit(127);
}

}  // namespace qorx::bench
