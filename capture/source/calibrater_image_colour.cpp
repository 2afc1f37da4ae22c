// Colour remap tables: building the Y and VU index tables of both cameras from the 640 maps.
#include <utility>

#include "calibrater_image.h"
#include "calibrater_maps.h"
#include "calibrater_state.h"

using namespace calibrater;

namespace {

const char* const kColourMapKeys[4] = {"left_x_640", "left_y_640", "right_x_640", "right_y_640"};

// Rows and columns of a colour map for the sensor type: type a as the frame, b and c turned.
cv::Size ExpectedColourMapSize(int zuq_type) {
  return zuq_type == kZuqTypeA ? cv::Size(kRawWidth, kRawHeight) : cv::Size(kRawHeight, kRawWidth);
}

// The four colour tables of a rebuild, prepared before they replace the module's.
struct ColourTables {
  Table left_y, left_vu, right_y, right_vu;
};

bool Allocate(ColourTables& tables, size_t y_entries, size_t vu_entries) {
  tables.left_y = AllocateTable(y_entries);
  tables.left_vu = AllocateTable(vu_entries);
  tables.right_y = AllocateTable(y_entries);
  tables.right_vu = AllocateTable(vu_entries);
  return tables.left_y && tables.left_vu && tables.right_y && tables.right_vu;
}

// Replaces the module's colour tables and sizes; the old tables are returned in `tables`.
void Publish(ColourTables& tables, int map_height, int map_width, int y_count, int vu_count) {
  std::lock_guard<std::mutex> hold(TableLock());
  RemapTables& held = Tables();
  std::swap(held.left_y_table, tables.left_y);
  std::swap(held.left_vu_table, tables.left_vu);
  std::swap(held.right_y_table, tables.right_y);
  std::swap(held.right_vu_table, tables.right_vu);
  held.map_height = map_height;
  held.map_width = map_width;
  held.y_count = y_count;
  held.vu_count = vu_count;
}

// Builds the tables from the file's maps; returns a result code.
int BuildColourTables(const cv::FileStorage& storage) {
  MapSet maps;
  if (!ReadMapSet(storage, kColourMapKeys, maps)) return CALIBRATER_BAD_DATA;
  const int zuq_type = Parameters().zuq_type;
  const cv::Size expected = ExpectedColourMapSize(zuq_type);
  if (maps.left_x.size() != expected) {
    CALIBRATER_PRINT("ERROR Axis height %d, width %d does not fit a %d x %d frame of type %d\n\n", maps.left_x.rows,
                     maps.left_x.cols, kRawWidth, kRawHeight, zuq_type);
    return CALIBRATER_BAD_DATA;
  }
  const int map_height = maps.left_x.rows, map_width = maps.left_x.cols;
  const int y_count = map_height * map_width;
  const int vu_count = map_width * (map_height / 2) / 2;
  CALIBRATER_PRINT("INFO  Axis height %d, width %d, data image num %d.\n\n", map_height, map_width, y_count);
  const int32_t* head = maps.left_x.ptr<int32_t>();
  CALIBRATER_PRINT("INFO  Axis file head_640: %d %d %d %d\n\n", head[0], head[1], head[2], head[3]);

  ColourTables tables;
  if (!Allocate(tables, y_count, vu_count)) return CALIBRATER_OUT_OF_MEMORY;
  const int outside =
      FillColourTables(zuq_type, maps.left_x.ptr<int32_t>(), maps.left_y.ptr<int32_t>(), tables.left_y.get(),
                       tables.left_vu.get()) +
      FillColourTables(zuq_type, maps.right_x.ptr<int32_t>(), maps.right_y.ptr<int32_t>(), tables.right_y.get(),
                       tables.right_vu.get());
  if (outside > 0) CALIBRATER_PRINT("ERROR %d colour map entries lie beyond the frame: no source\n\n", outside);
  Publish(tables, map_height, map_width, y_count, vu_count);
  return CALIBRATER_OK;
}

// The module's colour tables for an in-place fill, or false when they do not hold a 640 x 480 image.
bool HeldColourTablesFit() {
  const RemapTables& held = Tables();
  return held.left_y_table && held.right_y_table && held.left_vu_table && held.right_vu_table &&
         held.y_count == kYCount && held.vu_count == kVUCount;
}

}  // namespace

extern "C" {

int CalibraterImageYUVInit(const char* path) {
  cv::FileStorage storage;
  if (!OpenStorage(path, storage)) {
    CALIBRATER_PRINT("ERROR Error: can not find camera calibration file :%s\n\n", path ? path : "(null)");
    return CALIBRATER_FILE_NOT_FOUND;
  }
  try {
    return BuildColourTables(storage);
  } catch (const cv::Exception& error) {
    CALIBRATER_PRINT("ERROR Axis maps unreadable: %s\n\n", error.what());
    return CALIBRATER_BAD_DATA;
  }
}

int CalibraterImageMallocMapMem(int y_entries, int vu_entries) {
  if (y_entries < 0 || vu_entries < 0) return CALIBRATER_BAD_DATA;
  ColourTables tables;
  if (!Allocate(tables, y_entries, vu_entries)) return CALIBRATER_OUT_OF_MEMORY;
  const RemapTables& held = Tables();
  Publish(tables, held.map_height, held.map_width, y_entries, vu_entries);
  return CALIBRATER_OK;
}

void CalibraterImagefreeMapMem() {
  RemapTables released;
  std::lock_guard<std::mutex> hold(TableLock());
  RemapTables& held = Tables();
  std::swap(released.left_y_table, held.left_y_table);
  std::swap(released.right_y_table, held.right_y_table);
  std::swap(released.left_vu_table, held.left_vu_table);
  std::swap(released.right_vu_table, held.right_vu_table);
  std::swap(released.left_gray_table, held.left_gray_table);
  std::swap(released.right_gray_table, held.right_gray_table);
}

int CalibraterImageCheckAxis(int* left_x, int* left_y, int* right_x, int* right_y) {
  if (!left_x || !left_y || !right_x || !right_y) return CALIBRATER_BAD_DATA;
  const int count = Tables().y_count;
  const struct {
    const char* side;
    const int* x;
    const int* y;
  } sides[] = {{"Left", left_x, left_y}, {"Right", right_x, right_y}};
  for (const auto& side : sides) {
    for (int i = 0; i < count; ++i) {
      const int x = side.x[i], y = side.y[i];
      if (y > kRawHeight || x > kRawWidth || y < 0 || x < 0) {
        CALIBRATER_PRINT("ERROR %s axis is error, index: %d, x: %d, y: %d\n\n", side.side, i, x, y);
        return CALIBRATER_BAD_DATA;
      }
    }
  }
  return CALIBRATER_OK;
}

// Fills the held Y and VU tables; the maps hold 640 x 480 entries in the sensor type's layout.
static int FillHeldTables(int* left_x, int* left_y, int* right_x, int* right_y, bool y_tables) {
  if (!left_x || !left_y || !right_x || !right_y) return CALIBRATER_BAD_DATA;
  // One fill builds both kinds; the kind not asked for is built into scratch and dropped.
  Table scratch = AllocateTable(y_tables ? kVUCount : kYCount);
  Table scratch_right = AllocateTable(y_tables ? kVUCount : kYCount);
  if (!scratch || !scratch_right) return CALIBRATER_OUT_OF_MEMORY;
  std::lock_guard<std::mutex> hold(TableLock());
  if (!HeldColourTablesFit()) return CALIBRATER_BAD_DATA;
  RemapTables& held = Tables();
  const int zuq_type = Parameters().zuq_type;
  if (y_tables) {
    FillColourTables(zuq_type, left_x, left_y, held.left_y_table.get(), scratch.get());
    FillColourTables(zuq_type, right_x, right_y, held.right_y_table.get(), scratch_right.get());
  } else {
    FillColourTables(zuq_type, left_x, left_y, scratch.get(), held.left_vu_table.get());
    FillColourTables(zuq_type, right_x, right_y, scratch_right.get(), held.right_vu_table.get());
  }
  return CALIBRATER_OK;
}

int CalibraterImageYTable(int* left_x, int* left_y, int* right_x, int* right_y) {
  return FillHeldTables(left_x, left_y, right_x, right_y, true);
}

int CalibraterImageVUTable(int* left_x, int* left_y, int* right_x, int* right_y) {
  return FillHeldTables(left_x, left_y, right_x, right_y, false);
}

}  // extern "C"
