// A tiny Windows program for the build's own checks: prints its second
// argument from a worker thread and exits with the number given first. It
// shows that the static C++ runtime and threads work under Wine and that the
// exit status reaches CTest unchanged.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: wine_probe <exit status> <text>\n");
    return 2;
  }
  std::string text;
  std::thread worker([&] { text = std::string("probe:") + argv[2]; });
  worker.join();
  std::printf("%s\n", text.c_str());
  std::fflush(stdout);
  return std::atoi(argv[1]);
}
