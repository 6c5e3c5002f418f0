// Lists the link targets of an HTML text held in memory, with the extractor
// linked as a library instead of run as a program.

#include <tagcut/extract.h>
#include <tagcut/version.h>

#include <iostream>
#include <sstream>

int main() {
  std::istringstream page(R"(<a href="one.html">1</a> <a href="two.html">2</a>)");
  std::ostringstream links;
  tagcut::AutomatonExtract("href=\"", "\"", page, links);
  std::cout << links.str();
  std::clog << "tagcut " << TAGCUT_VERSION_STRING << "\n";
  return links.str() == "one.html\ntwo.html\n" ? 0 : 1;
}
