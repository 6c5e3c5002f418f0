// Times the C++ library's batch collector on a file held in memory, for
// the Python module's benchmark to set its figures beside (the engine's own
// speed, with no Python object made): the file fed to a PortionCollector in
// 1 MiB blocks, its entries cleared after each as a batch caller does,
// `rounds` times, each round's seconds printed on a line, then the number
// of portions and their total bytes.
//
//   portions_timer START END FILE ROUNDS

#include <tagcut/portions.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <string_view>

int main(int argc, char** argv) {
  if (argc != 5) {
    std::cerr << "usage: portions_timer START END FILE ROUNDS\n";
    return 1;
  }
  std::ifstream file(argv[3], std::ios::binary);
  std::stringstream contents;
  contents << file.rdbuf();
  const std::string input = contents.str();
  const tagcut::PortionPattern pattern(argv[1], argv[2]);
  constexpr std::size_t kBlock = 1 << 20;
  std::size_t count = 0, bytes = 0;
  for (int round = 0; round < std::atoi(argv[4]); ++round) {
    count = bytes = 0;
    tagcut::PortionCollector collector(pattern);
    const auto take = [&] {
      count += collector.size();
      for (std::size_t entry = 0; entry < collector.size(); ++entry)
        bytes += collector[entry].size();
      collector.Clear();
    };
    const auto began = std::chrono::steady_clock::now();
    for (std::size_t at = 0; at < input.size(); at += kBlock) {
      collector.Feed(std::string_view(input).substr(at, std::min(kBlock, input.size() - at)));
      take();
    }
    collector.Finish();
    take();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - began;
    std::printf("%.6f\n", took.count());
  }
  std::printf("%zu %zu\n", count, bytes);
  return 0;
}
