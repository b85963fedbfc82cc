// cpu_steal: takes the machine's cores away in bursts, as a busy hypervisor
// or a real-time hog does, to see what a live call does when its threads
// (real-time themselves) cannot run. On each core a SCHED_FIFO process at
// the top priority spins for about `burst_ms` (0.5 to 1.5 times, at random)
// and sleeps for about `period_ms - burst_ms`, for `seconds`.
//
//   cpu_steal BURST_MS PERIOD_MS SECONDS
//
// Needs the right to the real-time class (root, or CAP_SYS_NICE); the
// kernel's real-time throttling (95 % by default) still leaves the rest.
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <random>

namespace {

double NowMs() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

int Steal(int core, double burst_ms, double period_ms, double seconds) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(core, &set);
  sched_setaffinity(0, sizeof set, &set);
  sched_param p{};
  p.sched_priority = sched_get_priority_max(SCHED_FIFO);
  if (sched_setscheduler(0, SCHED_FIFO, &p) != 0) {
    perror("cpu_steal: the real-time class was refused");
    return 1;
  }
  std::mt19937 rng(unsigned(core + 1));
  std::uniform_real_distribution<double> jitter(0.5, 1.5);
  const double end = NowMs() + seconds * 1e3;
  while (NowMs() < end) {
    const double until = NowMs() + burst_ms * jitter(rng);
    while (NowMs() < until) {
    }
    usleep(useconds_t((period_ms - burst_ms) * 1e3 * jitter(rng)));
  }
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: cpu_steal BURST_MS PERIOD_MS SECONDS\n");
    return 2;
  }
  const double burst = atof(argv[1]), period = atof(argv[2]), seconds = atof(argv[3]);
  if (!(burst > 0 && period > burst && seconds > 0)) {
    fprintf(stderr, "cpu_steal: want 0 < BURST_MS < PERIOD_MS and SECONDS > 0\n");
    return 2;
  }
  const long cores = sysconf(_SC_NPROCESSORS_ONLN);
  for (long c = 0; c < cores; ++c)
    if (fork() == 0) _exit(Steal(int(c), burst, period, seconds));
  int status, failed = 0;
  while (wait(&status) > 0) failed |= !WIFEXITED(status) || WEXITSTATUS(status) != 0;
  return failed;
}
