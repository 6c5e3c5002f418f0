// Lists the link targets of the HTML read from standard input, with the
// extractor linked as a library instead of run as a program: each portion
// comes as a unit, so a target holding a line feed is still one target
// (printed here with its line feeds as \n, one target a line).
//
//   list_links < page.html

#include <tagcut/portions.h>
#include <tagcut/version.h>

#include <iostream>
#include <string>

int main() {
  std::string link;
  tagcut::ForEachPortion("href=\"", "\"", std::cin,
                         [&](std::string_view piece, tagcut::PortionEnd end) {
                           link.append(piece);
                           if (end == tagcut::PortionEnd::kContinues) return;
                           for (const char byte : link) {
                             if (byte == '\n') {
                               std::cout << "\\n";
                             } else {
                               std::cout << byte;
                             }
                           }
                           std::cout << '\n';
                           link.clear();
                         });
  std::clog << "tagcut " << TAGCUT_VERSION_STRING << "\n";
  return std::cout.flush() ? 0 : 2;
}
