// Semi-global matching kernels: census, census cost, path aggregation, selection and consistency checks.
//
// Images are m rows x n columns of 8-bit grey values, row by row. Census words are stored one byte
// plane per 8 bits (plane k of pixel (row, col) at k x planes_size + row x n + col), so that the right
// words of 16 consecutive disparities come in one vector load. All 16-bit sums wrap modulo 65536.

#define LANES 16

// ---------------------------------------------------------------------------------------------
// Census transform
// ---------------------------------------------------------------------------------------------

// One census bit per lane: 1 when the neighbour at (row + dy, col + lane + dx) is strictly greater
// than the lane's centre; a neighbour outside the image counts as differing (1).
inline uchar16 census_bits_edge(__global const uchar* image, long m, long n, long row, long col,
                                long dy, long dx, uchar16 centre) {
  uchar bits[LANES];
  uchar centres[LANES];
  vstore16(centre, 0, centres);
  const long y = row + dy;
  for (int lane = 0; lane < LANES; ++lane) {
    const long x = col + lane + dx;
    if (y < 0 || y >= m || x < 0 || x >= n) {
      bits[lane] = 1;
    } else {
      bits[lane] = image[y * n + x] > centres[lane] ? 1 : 0;
    }
  }
  return vload16(0, bits);
}

// Square census of the 16 pixels (row, col) .. (row, col + 15): the (2r+1) x (2r+1) window is
// visited row by row, columns left to right, eight positions per byte with the first in bit 7.
inline void census_square_block(__global uchar* windows, __global const uchar* image, long m, long n,
                                long r, long row, long col) {
  const long plane_size = m * n;
  const bool interior = row >= r && row + r < m && col >= r && col + (LANES - 1) + r < n;
  const uchar16 centre = vload16(0, image + row * n + col);
  __global uchar* out = windows + row * n + col;
  uchar16 word = (uchar16)(0);
  int bits_in_word = 0;
  for (long dy = -r; dy <= r; ++dy) {
    for (long dx = -r; dx <= r; ++dx) {
      if (bits_in_word == 8) {
        vstore16(word, 0, out);
        out += plane_size;
        word = (uchar16)(0);
        bits_in_word = 0;
      }
      uchar16 bit;
      if (interior) {
        const uchar16 neighbour = vload16(0, image + (row + dy) * n + col + dx);
        bit = as_uchar16(neighbour > centre) & (uchar16)(1);
      } else {
        bit = census_bits_edge(image, m, n, row, col, dy, dx, centre);
      }
      word = (uchar16)(word << (uchar16)(1)) | bit;
      ++bits_in_word;
    }
  }
  vstore16(word, 0, out);
}

// Square census words of one image; work item (gid0, gid1) covers row gid1, columns 16 gid0 .. +15.
__kernel void clCalculateCensusWindows(__global uchar* windows, __global const uchar* image, ulong m,
                                       ulong n, ulong window_scale) {
  const long col = (long)get_global_id(0) * LANES;
  const long row = (long)get_global_id(1);
  if (row >= (long)m || col + LANES > (long)n) return;
  census_square_block(windows, image, (long)m, (long)n, (long)window_scale, row, col);
}

// Square census words of both images in one work item.
__kernel void clCalculateCensusWindowsAll(__global uchar* windows_right, __global const uchar* image_right,
                                          __global uchar* windows_left, __global const uchar* image_left,
                                          ulong m, ulong n, ulong window_scale) {
  const long col = (long)get_global_id(0) * LANES;
  const long row = (long)get_global_id(1);
  if (row >= (long)m || col + LANES > (long)n) return;
  census_square_block(windows_right, image_right, (long)m, (long)n, (long)window_scale, row, col);
  census_square_block(windows_left, image_left, (long)m, (long)n, (long)window_scale, row, col);
}

// Asterisk arm directions (row step, column step) per sample offset t: horizontal, diagonal,
// vertical, anti-diagonal.
__constant int kArmRowStep[4] = {0, 1, 1, -1};
__constant int kArmColStep[4] = {1, 1, 0, 1};

// The eight samples of one arm at offset t for the centres at the even columns col, col + 2, ..,
// col + 14 of row `row` (full resolution): 1 where the neighbour is greater than its centre or lies
// outside the image.
inline uchar8 asterisk_bits(__global const uchar* image, long m, long n, long row, long col, int arm,
                            long t, uchar8 centre) {
  const long y = row + kArmRowStep[arm] * t;
  const long dx = kArmColStep[arm] * t;
  if (y >= 0 && y < m && col + dx >= 0 && col + dx + (LANES - 1) < n) {
    const uchar16 neighbour = vload16(0, image + y * n + col + dx);
    return as_uchar8(neighbour.even > centre) & (uchar8)(1);
  }
  uchar bits[8];
  uchar centres[8];
  vstore8(centre, 0, centres);
  for (int lane = 0; lane < 8; ++lane) {
    const long x = col + 2 * lane + dx;
    if (y < 0 || y >= m || x < 0 || x >= n) {
      bits[lane] = 1;
    } else {
      bits[lane] = image[y * n + x] > centres[lane] ? 1 : 0;
    }
  }
  return vload8(0, bits);
}

// Asterisk census at half resolution: centre (2 gid1, 16 gid0 + 2j) of the full-size image gives
// output (gid1, 8 gid0 + j). Four arms of 2r+1 samples (t = -r .. r), packed in chunks of eight
// samples; chunk k of arm a goes to plane a x (r/4 + 1) + k.
__kernel void clCalculateCensusAsterriskWindows(__global uchar* CensusResult, __global const uchar* Image,
                                                ulong ImageHeight, ulong ImageWidth, ulong WindowScale) {
  const long m = (long)ImageHeight;
  const long n = (long)ImageWidth;
  const long r = (long)WindowScale;
  const long out_rows = m / 2;
  const long out_cols = n / 2;
  const long col = (long)get_global_id(0) * LANES;
  const long row = 2 * (long)get_global_id(1);
  const long out_col = (long)get_global_id(0) * (LANES / 2);
  const long out_row = (long)get_global_id(1);
  if (out_row >= out_rows || out_col + LANES / 2 > out_cols || col + LANES > n) return;

  const long chunks_per_arm = r / 4 + 1;
  const long plane_size = out_rows * out_cols;
  const uchar8 centre = vload16(0, Image + row * n + col).even;
  for (long chunk = 0; chunk < chunks_per_arm; ++chunk) {
    const long first = -r + 8 * chunk;
    const long last = min(first + 7, r);
    for (int arm = 0; arm < 4; ++arm) {
      uchar8 word = (uchar8)(0);
      for (long t = first; t <= last; ++t) {
        word = (uchar8)(word << (uchar8)(1)) | asterisk_bits(Image, m, n, row, col, arm, t, centre);
      }
      const long plane = arm * chunks_per_arm + chunk;
      vstore8(word, 0, CensusResult + plane * plane_size + out_row * out_cols + out_col);
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Matching cost: Hamming distance of census words
// ---------------------------------------------------------------------------------------------

// Costs of pixel (row, col) for every disparity d in 0 .. D-1: the Hamming distance between the left
// word at col and the right word at col - d, counted in 16 bits, stored at (row x n + col) x D + d.
// Disparities are taken in blocks of 16; a last block of fewer than 16 reads and writes only its own
// lanes. The caller guarantees col >= D - 1.
inline void census_cost_at(__global ushort* cost, __global const uchar* left, __global const uchar* right,
                           long n, long plane_size, long planes, long d_range, long row, long col) {
  __global ushort* out = cost + (row * n + col) * d_range;
  for (long d0 = 0; d0 < d_range; d0 += LANES) {
    const long lanes = min((long)LANES, d_range - d0);
    // Lane j of `distance` holds the right column col - d0 - 15 + j, i.e. disparity d0 + 15 - j.
    ushort16 distance = (ushort16)(0);
    for (long plane = 0; plane < planes; ++plane) {
      const long base = plane * plane_size + row * n;
      const uchar16 left_word = (uchar16)(left[base + col]);
      uchar16 right_words;
      if (lanes == LANES) {
        right_words = vload16(0, right + base + col - d0 - (LANES - 1));
      } else {
        uchar words[LANES];
        for (int j = 0; j < LANES; ++j) {
          const long disparity = d0 + (LANES - 1) - j;
          words[j] = disparity < d_range ? right[base + col - disparity] : left_word.s0;
        }
        right_words = vload16(0, words);
      }
      distance += convert_ushort16(popcount(left_word ^ right_words));
    }
    const ushort16 by_disparity = distance.sFEDCBA9876543210;
    if (lanes == LANES) {
      vstore16(by_disparity, 0, out + d0);
    } else {
      ushort values[LANES];
      vstore16(by_disparity, 0, values);
      for (long k = 0; k < lanes; ++k) out[d0 + k] = values[k];
    }
  }
}

// Square census cost for columns D .. n-1 of every row.
__kernel void clCalculateCensusCost(__global ushort* cost, __global const uchar* windows_left,
                                    __global const uchar* windows_right, ulong m, ulong n, ulong d_range,
                                    ulong window_length) {
  const long col = (long)get_global_id(0);
  const long row = (long)get_global_id(1);
  if (row >= (long)m || col >= (long)n || col < (long)d_range) return;
  census_cost_at(cost, windows_left, windows_right, (long)n, (long)(m * n), (long)window_length,
                 (long)d_range, row, col);
}

// Square census cost for columns r + D .. n-1 of every row (32-disparity pipeline).
__kernel void clCalculateCensusCost32(__global ushort* cost, __global const uchar* windows_left,
                                      __global const uchar* windows_right, ulong m, ulong n, ulong d_range,
                                      ulong window_length, ulong window_scale) {
  const long col = (long)get_global_id(0);
  const long row = (long)get_global_id(1);
  if (row >= (long)m || col >= (long)n || col < (long)(window_scale + d_range)) return;
  census_cost_at(cost, windows_left, windows_right, (long)n, (long)(m * n), (long)window_length,
                 (long)d_range, row, col);
}

// Asterisk census cost on the half-resolution grid, inside the border ceil(r/2).
__kernel void clCalculateAsterriskWindowsCensusCost(__global ushort* CostValue,
                                                    __global const uchar* CensusLeftResult,
                                                    __global const uchar* CensusRightResult, ulong ImageHeight,
                                                    ulong ImageWidth, ulong DisparityRange, ulong WindowScale) {
  const long m = (long)ImageHeight;
  const long n = (long)ImageWidth;
  const long d_range = (long)DisparityRange;
  const long border = ((long)WindowScale + 1) / 2;
  const long col = (long)get_global_id(0);
  const long row = (long)get_global_id(1);
  if (col < border + d_range - 1 || col >= n - border || row < border || row >= m - border) return;
  const long planes = 4 * ((long)WindowScale / 4 + 1);
  census_cost_at(CostValue, CensusLeftResult, CensusRightResult, n, m * n, planes, d_range, row, col);
}

// ---------------------------------------------------------------------------------------------
// Per-frame reset of the check buffers
// ---------------------------------------------------------------------------------------------

__kernel void clDataInitDisparity(__global ushort* RightCost, __global uchar* RightDisparity,
                                  __global ushort* LeftMinCost, __global uchar* ErrMatch,
                                  __global uchar* UniquenessErr, ushort CostValue, ulong ImageWidth) {
  const long index = (long)get_global_id(1) * (long)ImageWidth + (long)get_global_id(0) * LANES;
  vstore16((ushort16)(CostValue), 0, RightCost + index);
  vstore16((ushort16)(CostValue), 0, LeftMinCost + index);
  vstore16((uchar16)(0), 0, RightDisparity + index);
  vstore16((uchar16)(0), 0, ErrMatch + index);
  vstore16((uchar16)(0), 0, UniquenessErr + index);
}

// ---------------------------------------------------------------------------------------------
// Semi-global path aggregation
// ---------------------------------------------------------------------------------------------

// Geometry of one path plane: cells of cell_stride values (low guard, path costs, high guard) and
// costs of cost_stride values per pixel; `disparities` path costs are computed per pixel (16 or 32).
typedef struct {
  long m, n;
  long cell_stride;
  long cost_stride;
  long disparities;
  long border;       // rows border .. m-border-1 are aggregated
  long first_col;    // border + D - 1
  long last_col;     // n - border - 1
  ushort p1, p2;
} PathGeometry;

inline bool path_region_contains(const PathGeometry* g, long row, long col) {
  return row >= g->border && row < g->m - g->border && col >= g->first_col && col <= g->last_col;
}

// One step of the recurrence: the cell of p from the cell of p' (the previous pixel of the path).
// L(p, d) = C(p, d) + min(L(p', d), L(p', d-1) + P1, L(p', d+1) + P1, minPrev + P2) - minPrev, where
// d-1 and d+1 beyond the range read the guards of p'.
inline void path_step(__global const ushort* cost, __global const ushort* prev, __global ushort* cell,
                      const PathGeometry* g) {
  const ushort16 p1 = (ushort16)(g->p1);
  const ushort16 p2 = (ushort16)(g->p2);
  ushort16 min_prev = vload16(0, prev + 1);
  for (long d0 = LANES; d0 < g->disparities; d0 += LANES) min_prev = min(min_prev, vload16(0, prev + 1 + d0));
  const ushort8 halves = min(min_prev.lo, min_prev.hi);
  const ushort4 quarters = min(halves.lo, halves.hi);
  const ushort2 eighths = min(quarters.lo, quarters.hi);
  const ushort16 minimum = (ushort16)(min(eighths.lo, eighths.hi));
  const ushort16 jump = (ushort16)(minimum + p2);
  for (long d0 = 0; d0 < g->disparities; d0 += LANES) {
    const ushort16 below = vload16(0, prev + d0);      // L(p', d-1)
    const ushort16 same = vload16(0, prev + d0 + 1);   // L(p', d)
    const ushort16 above = vload16(0, prev + d0 + 2);  // L(p', d+1)
    const ushort16 step = min(min(same, (ushort16)(below + p1)), min((ushort16)(above + p1), jump));
    vstore16((ushort16)(vload16(0, cost + d0) + step - minimum), 0, cell + 1 + d0);
  }
}

// Walks one scan line from (row, col) in steps of (row_step, col_step) until it leaves the region.
inline void path_walk(__global const ushort* cost, __global ushort* plane, const PathGeometry* g, long row,
                      long col, long row_step, long col_step) {
  while (path_region_contains(g, row, col)) {
    const long pixel = row * g->n + col;
    const long previous = (row - row_step) * g->n + (col - col_step);
    path_step(cost + pixel * g->cost_stride, plane + previous * g->cell_stride, plane + pixel * g->cell_stride,
              g);
    row += row_step;
    col += col_step;
  }
}

// Start of scan line `item` of path `path` and its step; false when the item has no line.
// Paths: 0 right to left, 1 up-left, 2 bottom to top, 3 up-right, 4 left to right, 5 down-right,
// 6 top to bottom, 7 down-left. Diagonal items below w start on the top or bottom row, the others
// on the left or right column.
inline bool path_line(const PathGeometry* g, int path, long item, long* row, long* col, long* row_step,
                      long* col_step) {
  const long top = g->border;
  const long bottom = g->m - g->border - 1;
  const long width = g->last_col - g->first_col + 1;
  const long height = bottom - top + 1;
  if (width <= 0 || height <= 0 || item < 0) return false;
  const bool from_edge_row = item < width;
  const long edge_col = g->first_col + item;
  const long edge_row = top + (item - width);
  const bool diagonal_exists = item < width + height;
  switch (path) {
    case 0: *row = item; *col = g->last_col; *row_step = 0; *col_step = -1; return item >= top && item <= bottom;
    case 4: *row = item; *col = g->first_col; *row_step = 0; *col_step = 1; return item >= top && item <= bottom;
    case 2:
      *row = bottom; *col = item; *row_step = -1; *col_step = 0;
      return item >= g->first_col && item <= g->last_col;
    case 6:
      *row = top; *col = item; *row_step = 1; *col_step = 0;
      return item >= g->first_col && item <= g->last_col;
    case 1:
      *row = from_edge_row ? bottom : edge_row; *col = from_edge_row ? edge_col : g->last_col;
      *row_step = -1; *col_step = -1; return diagonal_exists;
    case 3:
      *row = from_edge_row ? bottom : edge_row; *col = from_edge_row ? edge_col : g->first_col;
      *row_step = -1; *col_step = 1; return diagonal_exists;
    case 5:
      *row = from_edge_row ? top : edge_row; *col = from_edge_row ? edge_col : g->first_col;
      *row_step = 1; *col_step = 1; return diagonal_exists;
    case 7:
      *row = from_edge_row ? top : edge_row; *col = from_edge_row ? edge_col : g->last_col;
      *row_step = 1; *col_step = -1; return diagonal_exists;
    default: return false;
  }
}

// Aggregates path `path` along the scan line of this work item into `plane`.
inline void path_aggregate(__global const ushort* cost, __global ushort* plane, int path, PathGeometry g) {
  long row, col, row_step, col_step;
  if (path_line(&g, path, (long)get_global_id(0), &row, &col, &row_step, &col_step)) {
    path_walk(cost, plane, &g, row, col, row_step, col_step);
  }
}

inline PathGeometry path_geometry(ulong m, ulong n, ulong d_range, ulong disparities, ulong border, ushort p1,
                                  ushort p2) {
  PathGeometry g;
  g.m = (long)m;
  g.n = (long)n;
  g.cell_stride = (long)d_range + 2;
  g.cost_stride = (long)d_range;
  g.disparities = (long)disparities;
  // The previous pixel of a line's first pixel lies one step outside the region; a border of at
  // least 1 keeps it inside the image.
  g.border = max((long)border, 1L);
  g.first_col = g.border + (long)d_range - 1;
  g.last_col = (long)n - g.border - 1;
  g.p1 = p1;
  g.p2 = p2;
  return g;
}

// Base variant: 32 disparities, path k in plane k of one buffer, border ceil(r/2) in interval sampling.
#define PATH_KERNEL_BASE(k)                                                                                   \
  __kernel void clCensusCostPenaltyPath##k(__global const ushort* CensusCost, __global ushort* PixelValue,      \
                                           ulong ImageHeight, ulong ImageWidth, ulong DisparityRange,         \
                                           ulong WindowScale, ushort PenaltyP1, ushort PenaltyP2,             \
                                           ulong ImageIntervalSampling) {                                     \
    const ulong border = ImageIntervalSampling ? (WindowScale + 1) / 2 : WindowScale;                         \
    const ulong plane = (ulong)(k) * (DisparityRange + 2) * ImageHeight * ImageWidth;                         \
    path_aggregate(CensusCost, PixelValue + plane, k,                                                         \
                   path_geometry(ImageHeight, ImageWidth, DisparityRange, 32, border, PenaltyP1, PenaltyP2));  \
  }

// 32-disparity variant: cell stride 34, cost stride 32, path k in plane k of one buffer.
#define PATH_KERNEL_D32(k)                                                                                    \
  __kernel void clCensusCostPenaltyPath##k##Disparity32(__global const ushort* CensusCost,                    \
                                                        __global ushort* PixelValue, ulong ImageHeight,       \
                                                        ulong ImageWidth, ulong WindowScale,                  \
                                                        ushort PenaltyP1, ushort PenaltyP2) {                 \
    const ulong plane = (ulong)(k) * (32 + 2) * ImageHeight * ImageWidth;                                     \
    path_aggregate(CensusCost, PixelValue + plane, k,                                                         \
                   path_geometry(ImageHeight, ImageWidth, 32, 32, WindowScale, PenaltyP1, PenaltyP2));         \
  }

// 16-disparity variant: path k in plane k mod 2 of the two-plane buffer it is given.
#define PATH_KERNEL_D16(k)                                                                                    \
  __kernel void clCensusCostPenaltyPath##k##Disparity16(__global const ushort* CensusCost,                    \
                                                        __global ushort* PixelValue, ulong ImageHeight,       \
                                                        ulong ImageWidth, ulong DisparityRange,               \
                                                        ulong WindowScale, ushort PenaltyP1,                  \
                                                        ushort PenaltyP2) {                                   \
    const ulong plane = (ulong)((k) % 2) * (DisparityRange + 2) * ImageHeight * ImageWidth;                   \
    path_aggregate(CensusCost, PixelValue + plane, k,                                                         \
                   path_geometry(ImageHeight, ImageWidth, DisparityRange, 16, WindowScale, PenaltyP1,         \
                                 PenaltyP2));                                                                 \
  }

#define PATH_KERNELS(k) PATH_KERNEL_BASE(k) PATH_KERNEL_D32(k) PATH_KERNEL_D16(k)

PATH_KERNELS(0)
PATH_KERNELS(1)
PATH_KERNELS(2)
PATH_KERNELS(3)
PATH_KERNELS(4)
PATH_KERNELS(5)
PATH_KERNELS(6)
PATH_KERNELS(7)

// ---------------------------------------------------------------------------------------------
// Disparity selection with the uniqueness test
// ---------------------------------------------------------------------------------------------

#define MAX_SUMMED_DISPARITIES 32

// Picks the disparity of smallest summed path cost (the smaller on equal sums) and fails the pixel
// when a disparity at least two away comes within the uniqueness ratio of the minimum.
inline void select_disparity(const ushort* sums, long summed, long d_range, ulong uniqueness_ratio, long pixel,
                             __global uchar* disparity, __global ushort* left_min, __global uchar* uniqueness_err) {
  ushort minimum = sums[0];
  for (long d = 1; d < summed; ++d) minimum = min(minimum, sums[d]);
  const long scanned = min(d_range, summed);
  uchar best = 0;
  for (long d = scanned - 1; d >= 0; --d) {
    if (sums[d] == minimum) best = (uchar)d;
  }
  const ulong keep = 100 - uniqueness_ratio;
  bool failed = false;
  for (long d = 0; d < scanned && !failed; ++d) {
    failed = (ulong)sums[d] * keep < (ulong)minimum * 100 && abs_diff(best, (uchar)d) > 1;
  }
  if (failed) uniqueness_err[pixel] = 1;
  left_min[pixel] = minimum;
  disparity[pixel] = failed ? 0 : best;
}

// Adds the path costs of one pixel in one plane to the sums (wrapping in 16 bits).
inline void add_path_costs(ushort* sums, __global const ushort* cell, long disparities) {
  for (long d = 0; d < disparities; ++d) sums[d] += cell[1 + d];
}

// 32 disparities, eight path planes in one buffer.
__kernel void clCalculateDisparity(__global const ushort* PathValueCost, __global uchar* DisparityValue,
                                   ulong ImageHeight, ulong ImageWidth, ulong DisparityRange,
                                   ulong UniquenessRatio, __global ushort* LeftMinValue,
                                   __global uchar* UniquenessErr) {
  const long col = (long)get_global_id(0);
  const long row = (long)get_global_id(1);
  if (col >= (long)ImageWidth || row >= (long)ImageHeight) return;
  const long pixel = row * (long)ImageWidth + col;
  const long cell_stride = (long)DisparityRange + 2;
  const long plane_stride = cell_stride * (long)(ImageHeight * ImageWidth);
  // 32 disparities, or fewer when the cells are shorter, so that no sum reads past its cell.
  const long summed = min((long)MAX_SUMMED_DISPARITIES, (long)DisparityRange);
  ushort sums[MAX_SUMMED_DISPARITIES];
  for (int d = 0; d < MAX_SUMMED_DISPARITIES; ++d) sums[d] = 0;
  for (long plane = 0; plane < 8; ++plane) {
    add_path_costs(sums, PathValueCost + plane * plane_stride + pixel * cell_stride, summed);
  }
  select_disparity(sums, summed, (long)DisparityRange, UniquenessRatio, pixel, DisparityValue,
                   LeftMinValue, UniquenessErr);
}

// 16 disparities, four buffers of two path planes.
__kernel void clCalculateDisparityDisparity16(__global const ushort* PathValueCost_0,
                                              __global const ushort* PathValueCost_1,
                                              __global const ushort* PathValueCost_2,
                                              __global const ushort* PathValueCost_3,
                                              __global uchar* DisparityValue, ulong ImageHeight,
                                              ulong ImageWidth, ulong DisparityRange, ulong UniquenessRatio,
                                              __global ushort* LeftMinValue, __global uchar* UniquenessErr) {
  const long summed = min(16L, (long)DisparityRange);
  const long col = (long)get_global_id(0);
  const long row = (long)get_global_id(1);
  if (col >= (long)ImageWidth || row >= (long)ImageHeight) return;
  const long pixel = row * (long)ImageWidth + col;
  const long cell_stride = (long)DisparityRange + 2;
  const long plane_stride = cell_stride * (long)(ImageHeight * ImageWidth);
  ushort sums[MAX_SUMMED_DISPARITIES];
  for (int d = 0; d < MAX_SUMMED_DISPARITIES; ++d) sums[d] = 0;
  __global const ushort* buffers[4] = {PathValueCost_0, PathValueCost_1, PathValueCost_2, PathValueCost_3};
  for (int buffer = 0; buffer < 4; ++buffer) {
    for (long plane = 0; plane < 2; ++plane) {
      add_path_costs(sums, buffers[buffer] + plane * plane_stride + pixel * cell_stride, summed);
    }
  }
  select_disparity(sums, summed, (long)DisparityRange, UniquenessRatio, pixel, DisparityValue, LeftMinValue,
                   UniquenessErr);
}

// ---------------------------------------------------------------------------------------------
// Consistency: right disparity, left-right check, error-match fill
// ---------------------------------------------------------------------------------------------

// Right disparity of one row: each right pixel takes the disparity of the left pixel of smallest
// minimum cost that maps onto it (the leftmost on equal cost).
__kernel void clCalculateRightDisparity(__global const ushort* LeftMinValue, __global ushort* RightCostValue,
                                        __global const uchar* LeftDisparityValue,
                                        __global uchar* RightDisparityValue, ulong ImageWidth) {
  const long n = (long)ImageWidth;
  const long row_start = (long)get_global_id(0) * n;
  for (long col = 0; col < n; ++col) {
    const long disparity = LeftDisparityValue[row_start + col];
    const ushort cost = LeftMinValue[row_start + col];
    if (col > disparity && RightCostValue[row_start + col - disparity] > cost) {
      RightCostValue[row_start + col - disparity] = cost;
      RightDisparityValue[row_start + col - disparity] = (uchar)disparity;
    }
  }
}

// Flags a left pixel whose right match disagrees by more than LRMaxDiff both at its own disparity and
// one below; a right column left of the image counts as disagreeing.
__kernel void clLRCheckDisparity(__global const uchar* LeftDisparityValue, __global const uchar* RightDisparityValue,
                                 __global uchar* ErrMatch, ulong ImageWidth, ulong LRMaxDiff) {
  const long n = (long)ImageWidth;
  const long col = (long)get_global_id(0);
  if (col >= n) return;
  const long row_start = (long)get_global_id(1) * n;
  const uchar left = LeftDisparityValue[row_start + col];
  if (left > 0 && col <= left) return;
  const bool differs = abs_diff(RightDisparityValue[row_start + col - left], left) > LRMaxDiff;
  const long neighbour = col - left - 1;
  const uchar below = (uchar)(left - 1);
  const bool neighbour_differs =
      neighbour < 0 || abs_diff(RightDisparityValue[row_start + neighbour], below) > LRMaxDiff;
  if (differs && neighbour_differs) ErrMatch[row_start + col] = 1;
}

// Replaces the disparity of a flagged pixel (column 1 on) by the mean of the nearest unflagged
// disparities to its left and right in the row (0 where there is none), rounded down.
__kernel void clErrMatchProcessDisparity(__global uchar* LeftDisparityValue, __global const uchar* ErrMatch,
                                         ulong ImageWidth) {
  const long n = (long)ImageWidth;
  const long col = (long)get_global_id(0);
  const long row_start = (long)get_global_id(1) * n;
  if (col == 0 || col >= n || ErrMatch[row_start + col] != 1) return;
  uint left = 0;
  for (long x = col - 1; x >= 0; --x) {
    if (ErrMatch[row_start + x] != 1) {
      left = LeftDisparityValue[row_start + x];
      break;
    }
  }
  uint right = 0;
  for (long x = col + 1; x < n; ++x) {
    if (ErrMatch[row_start + x] != 1) {
      right = LeftDisparityValue[row_start + x];
      break;
    }
  }
  LeftDisparityValue[row_start + col] = (uchar)((left + right) / 2);
}
