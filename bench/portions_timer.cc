// Times the C++ portion API on a file held in memory, for the Python
// module's benchmark to set its figures beside: the file's portions taken
// `rounds` times with one compiled pair, each round's seconds printed on a
// line, then the number of portions and their total bytes.
//
//   portions_timer START END FILE ROUNDS

#include <tagcut/portions.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

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
  std::size_t count = 0, bytes = 0;
  for (int round = 0; round < std::atoi(argv[4]); ++round) {
    const auto began = std::chrono::steady_clock::now();
    const std::vector<std::string> portions = pattern.FindAll(input);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - began;
    std::printf("%.6f\n", took.count());
    count = portions.size();
    bytes = 0;
    for (const std::string& portion : portions) bytes += portion.size();
  }
  std::printf("%zu %zu\n", count, bytes);
  return 0;
}
