// Read-out order of the epc660: the sensor delivers its two halves from the centre outwards, so
// consecutive raw rows alternate between the upper half (going up) and the lower half (going
// down); a one-half sensor (epc635) delivers its rows bottom-up. The iterators walk the raw
// samples of one DCS plane in memory order and say where each belongs in the image
// (lumox/evk_calc.h).
//
// ReadoutIterator is the same walk as a value, for code that needs more than one at a time.
#pragma once

#include "lumox/evk_calc.h"

namespace lumox::evk {

class ReadoutIterator {
  public:
    // count samples per plane, columns, rows = rows per half x halves. Dual MGX: the two gates
    // occupy alternating row blocks of halves x columns samples; only the first gate's samples
    // are yielded, into an image of rows / 2 rows. False when the geometry does not fit count.
    bool init(int count, int columns, int rows, int halves, bool dual_mgx);
    bool has_next() const { return memory_ < count_; }
    // Fills position and moves on; false at the end.
    bool next(iterator_position *position);

    int image_rows() const { return image_rows_; }
    int columns() const { return columns_; }

  private:
    int count_ = 0;
    int columns_ = 0;
    int halves_ = 1;
    int image_rows_ = 0;
    bool dual_mgx_ = false;
    int memory_ = 0;
};

}  // namespace lumox::evk
