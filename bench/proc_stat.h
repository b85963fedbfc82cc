// Figures of processes and threads read from /proc, for the cost tools.
#ifndef HX_BENCH_PROC_STAT_H
#define HX_BENCH_PROC_STAT_H

#include <dirent.h>
#include <stdlib.h>
#include <sys/types.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace hxbench {

inline std::string ReadFile(const std::string &path) {
  std::ifstream f(path);
  return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

// Field `index` (1-based, as in proc(5)) of a stat line; 0 when it has none.
inline double StatField(const std::string &stat, int index) {
  const size_t close = stat.rfind(')');  // the name may hold blanks
  if (close == std::string::npos) return 0;
  std::istringstream rest(stat.substr(close + 2));
  std::string f;
  for (int i = 3; rest >> f; ++i)
    if (i == index) return atof(f.c_str());
  return 0;
}

// The name field of a stat line ("" when it has none).
inline std::string StatName(const std::string &stat) {
  const size_t open = stat.find('('), close = stat.rfind(')');
  return open == std::string::npos || close == std::string::npos ? ""
                                                                 : stat.substr(open + 1, close - open - 1);
}

// User plus system CPU seconds of a stat line (a process's or a thread's).
inline double StatCpuSeconds(const std::string &stat) {
  return (StatField(stat, 14) + StatField(stat, 15)) / double(sysconf(_SC_CLK_TCK));
}

inline double CpuSeconds(pid_t pid) {
  return StatCpuSeconds(ReadFile("/proc/" + std::to_string(pid) + "/stat"));
}

inline double CpuSeconds(const std::vector<pid_t> &pids) {
  double total = 0;
  for (pid_t pid : pids) total += CpuSeconds(pid);
  return total;
}

// The entries of a /proc task folder (thread ids), without "." and "..".
inline std::vector<std::string> Tasks(const std::string &task_dir) {
  std::vector<std::string> out;
  DIR *d = opendir(task_dir.c_str());
  while (dirent *e = d ? readdir(d) : nullptr)
    if (e->d_name[0] != '.') out.push_back(e->d_name);
  if (d) closedir(d);
  return out;
}

}  // namespace hxbench

#endif
