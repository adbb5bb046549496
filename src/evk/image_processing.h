// Post-processing stages of the evaluation-kit distance image, each in place on the image of the
// current geometry (calcImageWidth x calcImageHeight): bad-pixel replacement, neighbour averaging,
// temporal averaging and the image difference (lumox/evk_calc.h).
//
// Neighbour averaging: a pixel and those of its four (or eight) neighbours that carry a value are
// averaged when enough of them do: more than half of the set for the four-neighbour average (3 of
// 5 inside the image), at least two thirds for the eight-neighbour average (6 of 9). At the
// border the set holds the neighbours that exist and the same shares apply, so edge and corner
// pixels are filtered like the others instead of being left raw or averaged over codes. Values
// carrying a reserved code never enter a sum; a saturated or overflowing pixel keeps its code, a
// pixel below the amplitude threshold (65300) may be filled from enough valid neighbours.
#pragma once

#include <cstdint>

#include "lumox/evk_calc.h"

namespace lumox::evk {

// Forgets the pictures the running average and the five-picture mean hold. A change of geometry,
// frequency, mode or of the number of pictures (imageDifferenceInit, imageSetNumberOfPicture)
// makes them stale.
void image_history_restart();

// The previous picture of the running average for an image of pixels, restarted when the
// geometry changed, as imageAverage starts its work.
uint16_t *average_previous(int pixels);

}  // namespace lumox::evk
