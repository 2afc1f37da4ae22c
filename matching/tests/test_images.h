// Synthetic stereo pairs for the matcher tests: a smoothed random texture seen with known disparities.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

struct TestPair {
  std::vector<uint8_t> left;
  std::vector<uint8_t> right;
};

// right is a texture; left(y, x) = right(y, x - shift), with `box_shift` inside a central box, so the left
// pixel at x matches the right pixel at x - shift. Columns that would come from left of the texture are random.
inline TestPair MakeShiftedPair(int height, int width, int shift, int box_shift, unsigned seed) {
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> byte(0, 255);
  std::vector<uint8_t> noise(static_cast<size_t>(height) * width);
  for (uint8_t& v : noise) v = static_cast<uint8_t>(byte(random));
  TestPair pair;
  pair.right.resize(noise.size());
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const int next = x + 1 < width ? x + 1 : x;  // a light horizontal blur keeps the texture matchable
      pair.right[y * width + x] = static_cast<uint8_t>((noise[y * width + x] + noise[y * width + next]) / 2);
    }
  pair.left.resize(noise.size());
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const bool in_box = y > height / 4 && y < 3 * height / 4 && x > width / 3 && x < 2 * width / 3;
      const int source = x - (in_box ? box_shift : shift);
      pair.left[y * width + x] = source >= 0 ? pair.right[y * width + source] : static_cast<uint8_t>(byte(random));
    }
  return pair;
}
