#include "evk/iterator.h"

#include "lumox/evk.h"

namespace lumox::evk {

bool ReadoutIterator::init(int count, int columns, int rows, int halves, bool dual_mgx) {
    count_ = 0;
    memory_ = 0;
    // A block of rows holds one raw row per half, twice over with two gates.
    const int gates = dual_mgx ? 2 : 1;
    if (columns <= 0 || rows <= 0 || (halves != 1 && halves != 2) ||
        static_cast<long long>(columns) * rows != count || rows % (halves * gates) != 0) {
        return false;
    }
    count_ = count;
    columns_ = columns;
    halves_ = halves;
    dual_mgx_ = dual_mgx;
    image_rows_ = rows / gates;
    return true;
}

bool ReadoutIterator::next(iterator_position *position) {
    if (!position || !has_next()) return false;
    const int c = columns_;
    const int block = halves_ * c;  // samples of one raw row per half
    const int gates = dual_mgx_ ? 2 : 1;
    const int raw_row = memory_ / (block * gates);
    const int k = memory_ % block;
    int row;
    int column;
    bool upper;
    if (halves_ == 1) {
        row = image_rows_ - 1 - raw_row;
        column = k;
        upper = true;
    } else if (k < c) {
        row = image_rows_ / 2 - 1 - raw_row;
        column = k;
        upper = true;
    } else {
        row = image_rows_ / 2 + raw_row;
        column = k - c;
        upper = false;
    }
    position->memory = memory_;
    position->column = column;
    position->row = row;
    position->index = column + c * row;
    position->upper = upper ? 1 : 0;
    ++memory_;
    // With two gates the second gate's block follows each row block: skip it.
    if (dual_mgx_ && memory_ % block == 0 && (memory_ / block) % 2 == 1) memory_ += block;
    return true;
}

}  // namespace lumox::evk

namespace {
lumox::evk::ReadoutIterator g_default;
lumox::evk::ReadoutIterator g_mgx;
}  // namespace

extern "C" {

LUMOX_API int iteratorDefaultInit(int count, int columns, int rows) noexcept {
    return g_default.init(count, columns, rows, pruGetNumberOfHalves(), false) ? 0 : -1;
}

LUMOX_API int iteratorDefaultHasNext(void) noexcept { return g_default.has_next() ? 1 : 0; }

LUMOX_API int iteratorDefaultNext(iterator_position *position) noexcept {
    return g_default.next(position) ? 0 : -1;
}

LUMOX_API int iteratorMGXInit(int count, int columns, int rows) noexcept {
    return g_mgx.init(count, columns, rows, pruGetNumberOfHalves(), true) ? 0 : -1;
}

LUMOX_API int iteratorMGXHasNext(void) noexcept { return g_mgx.has_next() ? 1 : 0; }

LUMOX_API int iteratorMGXNext(iterator_position *position) noexcept {
    return g_mgx.next(position) ? 0 : -1;
}

}  // extern "C"
