// A deliberately plain stereo matcher written from the definitions (census by direct comparison, path
// recurrence cell by cell, temporal windows, winner-take-all), sharing no code with the library.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

struct ReferenceSettings {
  int height = 0;  // caller's image size
  int width = 0;
  int disparity_min = 0;
  int disparity_max = 0;
  int radius = 1;
  int window = 0;  // W
  int paths = 4;
  int threshold = 0;
  int penalty1 = 0;
  int penalty2 = 0;
  bool interval_sampling = false;
};

class ReferenceMatcher {
 public:
  explicit ReferenceMatcher(const ReferenceSettings& s) : s_(s) {
    m_ = s.interval_sampling ? s.height / 2 : s.height;
    n_ = s.interval_sampling ? s.width / 2 : s.width;
    d_ = s.disparity_max - s.disparity_min;
    const int side = 2 * s.radius + 1;
    const int bits = s.interval_sampling ? 4 * side : side * side;
    previous_.assign(m_ * n_, static_cast<uint8_t>(d_ / 2));
    full_.assign(m_ * n_, 0);
    flagged_.assign(m_ * n_, 0);
    cells_.assign(static_cast<size_t>(s.paths) * m_ * n_ * (d_ + 2), static_cast<uint16_t>(bits + s.penalty2));
    cost_.assign(static_cast<size_t>(m_) * n_ * d_, 0);
  }

  int rows() const { return m_; }
  int columns() const { return n_; }
  // Flags that the next frame reads: 1 = search the full range.
  const std::vector<uint8_t>& full_range_flags() const { return full_; }

  std::vector<uint8_t> Process(const uint8_t* left_in, const uint8_t* right_in, bool use_previous) {
    std::vector<uint8_t> left(left_in, left_in + m_ * n_), right(right_in, right_in + m_ * n_);
    if (s_.interval_sampling) {
      for (int y = 0; y < m_; ++y)
        for (int x = 0; x < n_; ++x) {
          left[y * n_ + x] = left_in[(2 * y) * s_.width + 2 * x];
          right[y * n_ + x] = right_in[(2 * y) * s_.width + 2 * x];
        }
    }
    const bool full_frame = frames_ == 0 || !use_previous;
    const int threshold = full_frame ? 65535 : s_.threshold;
    const int window = full_frame ? d_ : s_.window;
    std::fill(flagged_.begin(), flagged_.end(), 0);
    Census(left, right);
    Aggregate(threshold, window);
    std::vector<uint8_t> out(m_ * n_);
    for (int p = 0; p < m_ * n_; ++p) {
      int best = 0;
      unsigned best_sum = 0;
      for (int d = 0; d < d_; ++d) {
        uint16_t sum = 0;
        for (int plane = 0; plane < s_.paths; ++plane) sum = static_cast<uint16_t>(sum + Cell(plane, p)[d + 1]);
        if (d == 0 || sum < best_sum) best = d, best_sum = sum;
      }
      out[p] = static_cast<uint8_t>(s_.disparity_min + best);
    }
    previous_ = out;
    const int cleared = std::min(d_, n_);
    for (int y = 0; y < m_; ++y)
      for (int x = n_ - cleared; x < n_; ++x) out[y * n_ + x] = 0;
    full_ = flagged_;
    ++frames_;
    return out;
  }

 private:
  int FirstColumn() const { return std::max(s_.disparity_max, d_) + s_.radius - 1; }

  void Census(const std::vector<uint8_t>& left, const std::vector<uint8_t>& right) {
    const int r = s_.radius;
    for (int y = r; y < m_ - r; ++y)
      for (int x = FirstColumn(); x < n_ - r; ++x)
        for (int d = 0; d < d_; ++d) {
          int differing = 0;
          for (int i = -r; i <= r; ++i)
            for (int j = -r; j <= r; ++j) {
              const bool l = left[(y + i) * n_ + x + j] > left[y * n_ + x];
              const bool rr = right[(y + i) * n_ + x - d + j] > right[y * n_ + x - d];
              differing += l != rr;
            }
          cost_[(static_cast<size_t>(y) * n_ + x) * d_ + d] = static_cast<uint16_t>(differing);
        }
  }

  uint16_t* Cell(int plane, int pixel) { return &cells_[(static_cast<size_t>(plane) * m_ * n_ + pixel) * (d_ + 2)]; }

  void Range(int pixel, int window, int& lo, int& hi) const {
    if (full_[pixel] || window >= d_) {
      lo = 0, hi = d_;
      return;
    }
    const int centre = ((previous_[pixel] - s_.disparity_min) % 256 + 256) % 256;
    const int half = window / 2;
    if (centre - half < 0) {
      lo = 0, hi = window;
    } else if (centre + half > d_) {
      lo = d_ - window, hi = d_;
    } else {
      lo = centre - half, hi = centre + half;
    }
  }

  void Pixel(int plane, int y, int x, int dy, int dx, int threshold, int window) {
    const int pixel = y * n_ + x;
    const uint16_t* lq = Cell(plane, (y + dy) * n_ + x + dx);
    uint16_t* lp = Cell(plane, pixel);
    const uint16_t* cost = &cost_[static_cast<size_t>(pixel) * d_];
    const uint16_t p1 = static_cast<uint16_t>(s_.penalty1), p2 = static_cast<uint16_t>(s_.penalty2);
    uint16_t min_prev = 65535;
    for (int d = 1; d <= d_; ++d) min_prev = std::min(min_prev, lq[d]);
    int lo, hi;
    Range(pixel, window, lo, hi);
    uint16_t new_min = 65535;
    for (int d = lo; d < hi; ++d) {
      const uint16_t a = lq[d + 1], b = static_cast<uint16_t>(lq[d] + p1), c = static_cast<uint16_t>(lq[d + 2] + p1),
                     e = static_cast<uint16_t>(min_prev + p2);
      lp[d + 1] = static_cast<uint16_t>(cost[d] + std::min(std::min(a, b), std::min(c, e)) - min_prev);
      new_min = std::min(new_min, lp[d + 1]);
    }
    if (new_min <= threshold) return;
    if (!full_[pixel])
      for (int d = 0; d < d_; ++d) {
        if (d >= lo && d < hi) continue;
        const uint16_t a = lq[d + 1], b = static_cast<uint16_t>(lq[d] + p1), c = static_cast<uint16_t>(lq[d + 2] + p1);
        lp[d + 1] = static_cast<uint16_t>(cost[d] + std::min(std::min(a, b), c) - min_prev);
      }
    flagged_[pixel] = 1;
  }

  void Aggregate(int threshold, int window) {
    static const int kFour[4][2] = {{0, -1}, {-1, 0}, {0, 1}, {1, 0}};
    static const int kEight[8][2] = {{0, -1}, {-1, -1}, {-1, 0}, {-1, 1}, {0, 1}, {1, 1}, {1, 0}, {1, -1}};
    const bool four = s_.paths < 5;
    const int directions = std::min(s_.paths, four ? 4 : 8);
    const int r = s_.radius;
    const int top = r, bottom = m_ - r, left = FirstColumn(), right = n_ - r - std::max(s_.disparity_min, 0);
    for (int plane = 0; plane < directions; ++plane) {
      const int dy = four ? kFour[plane][0] : kEight[plane][0];
      const int dx = four ? kFour[plane][1] : kEight[plane][1];
      const bool forward = dy < 0 || (dy == 0 && dx < 0);
      for (int i = 0; i < bottom - top; ++i)
        for (int j = 0; j < right - left; ++j) {
          const int y = forward ? top + i : bottom - 1 - i;
          const int x = forward ? left + j : right - 1 - j;
          Pixel(plane, y, x, dy, dx, threshold, window);
        }
    }
  }

  ReferenceSettings s_;
  int m_, n_, d_;
  int frames_ = 0;
  std::vector<uint8_t> previous_, full_, flagged_;
  std::vector<uint16_t> cells_, cost_;
};
