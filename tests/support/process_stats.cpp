#include "process_stats.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdio>

namespace ulo::testing {

int ThreadCount() {
  DIR *tasks = opendir("/proc/self/task");
  if (!tasks) return -1;
  int count = 0;
  while (dirent *entry = readdir(tasks)) count += entry->d_name[0] != '.';
  closedir(tasks);
  return count;
}

int64_t ResidentKiB() {
  std::FILE *statm = std::fopen("/proc/self/statm", "r");
  if (!statm) return -1;
  long long size = 0;
  long long resident = -1;
  int read = std::fscanf(statm, "%lld %lld", &size, &resident);
  std::fclose(statm);
  if (read != 2) return -1;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

}  // namespace ulo::testing
