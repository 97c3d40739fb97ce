// Welds the corners of two triangles that share an edge, with both of kedo's
// methods, straight from a std::vector<double>.
#include <cstdio>
#include <vector>

#include "kedo/kedo.hpp"

int main() {
  // Six corners, three coordinates each; corners 3 and 4 repeat corners 2 and 1
  // with float noise.
  const std::vector<double> corners = {
      0.0,         0.0,         0.0,  //
      1.0,         0.0,         0.0,  //
      0.0,         1.0,         0.0,  //
      0.0,         1.0 + 1e-12, 0.0,  //
      1.0 - 1e-12, 0.0,         0.0,  //
      1.0,         1.0,         0.0,
  };
  const int width = 3;
  const int height = static_cast<int>(corners.size()) / width;
  const double tolerance = 1e-9;

  // The sort method: UniqueIds orders and groups the rows, SortIdsAndInverse
  // numbers the groups by their lowest row number.
  kedo::IndexVector<int> sorted_ids;
  kedo::IndexVector<int> unique_ids;
  std::vector<int> inverse(static_cast<std::size_t>(height));
  kedo::UniqueIds<true>(corners.data(), height, width, tolerance, sorted_ids, unique_ids,
                        inverse.data());
  const int count = static_cast<int>(unique_ids.size());
  std::vector<int> index(static_cast<std::size_t>(count));
  for (std::size_t g = 0; g < index.size(); ++g) {
    index[g] = sorted_ids[static_cast<std::size_t>(unique_ids[g])];
  }
  kedo::SortIdsAndInverse(count, index.data(), height, inverse.data());

  std::printf("sort method: %d corners -> %d vertices; corner -> vertex:", height, count);
  for (const int group : inverse) std::printf(" %d", group);
  std::printf("\n");

  // The Uff method: Euclidean distance to each group's anchor; the key of a row
  // is its projection on the weights, here the sum of its coordinates.
  const std::vector<double> projection(static_cast<std::size_t>(width), 1.0);
  std::vector<double> unique(corners.size());
  std::vector<int> uff_index(static_cast<std::size_t>(height));
  std::vector<int> uff_inverse(static_cast<std::size_t>(height));
  int uff_count = 0;
  const bool sorted_index = true;
  kedo::Uff<true>(corners.data(), height, width, projection.data(), tolerance, sorted_index,
                  unique.data(), uff_index.data(), uff_count, uff_inverse.data());
  unique.resize(static_cast<std::size_t>(uff_count * width));

  std::printf("Uff method:  %d corners -> %d vertices; corner -> vertex:", height, uff_count);
  for (const int group : uff_inverse) std::printf(" %d", group);
  std::printf("\n");

  const bool agree = count == 4 && uff_count == 4 && inverse == uff_inverse;
  std::printf(agree ? "both methods weld 6 corners into 4 vertices\n" : "unexpected result\n");
  return agree ? 0 : 1;
}
