// Random inputs for the tests and the fuzz targets: tags over a small
// alphabet, and inputs stitched from pieces of the tags, so that overlaps,
// near misses, broken partial matches and tags cut by block edges are the
// rule rather than the exception. Deterministic for a given generator state.
#ifndef TAGCUT_TESTS_GENERATORS_H_
#define TAGCUT_TESTS_GENERATORS_H_

#include <cstddef>
#include <random>
#include <span>
#include <string>
#include <string_view>

namespace tagcut::testing {

// Up to `max_length` bytes (possibly none) drawn from `alphabet`.
inline std::string RandomText(std::mt19937& random, std::string_view alphabet,
                              std::size_t max_length) {
  std::string text(random() % (max_length + 1), '\0');
  for (char& byte : text) byte = alphabet[random() % alphabet.size()];
  return text;
}

// At least `size` bytes: whole pieces, prefixes of pieces and runs of loose
// bytes from `loose`, mixed evenly.
inline std::string TagSoup(std::mt19937& random, std::span<const std::string> pieces,
                           std::string_view loose, std::size_t size) {
  std::string input;
  while (input.size() < size) {
    const std::string& piece = pieces[random() % pieces.size()];
    switch (random() % 3) {
      case 0:
        input += piece;
        break;
      case 1:
        input += piece.substr(0, random() % (piece.size() + 1));
        break;
      default:
        input += RandomText(random, loose, 3);
        break;
    }
  }
  return input;
}

// `tag` with one byte changed: a candidate that agrees with many probes but
// is no occurrence.
inline std::string NearMiss(std::mt19937& random, std::string tag) {
  if (!tag.empty()) tag[random() % tag.size()] ^= static_cast<char>(1 + random() % 8);
  return tag;
}

// At least `size` bytes made of arbitrary fragments of `tag` (any offset,
// any length) and a few loose bytes, so near misses and overlaps abound.
inline std::string TagFragments(std::mt19937& random, const std::string& tag, std::size_t size) {
  std::string input;
  while (input.size() < size) {
    if (tag.empty() || random() % 4 == 0) {
      input.push_back(static_cast<char>(random() % 3 == 0 ? random() : 'a' + random() % 3));
      continue;
    }
    const std::size_t from = random() % tag.size();
    input += tag.substr(from, 1 + random() % (tag.size() - from));
  }
  return input;
}

}  // namespace tagcut::testing

#endif  // TAGCUT_TESTS_GENERATORS_H_
