// Lists the link targets of an HTML text held in memory, with the extractor
// linked as a library instead of run as a program: each portion comes as a
// string of its own, so a target holding a line feed would stay one target.

#include <tagcut/portions.h>
#include <tagcut/version.h>

#include <iostream>
#include <string>
#include <vector>

int main() {
  const std::string page = R"(<a href="one.html">1</a> <a href="two.html">2</a>)";
  const std::vector<std::string> links = tagcut::ExtractPortions("href=\"", "\"", page);
  for (const std::string& link : links) std::cout << link << "\n";
  std::clog << "tagcut " << TAGCUT_VERSION_STRING << "\n";
  return links == std::vector<std::string>{"one.html", "two.html"} ? 0 : 1;
}
