/*
 * liblumox: the evaluation kit's per-pixel calculation. It turns one fetched frame (pruGetImage)
 * into sorted images: gray, DCS, distance and amplitude, in image order (row-major, top row
 * first), and runs the post-processing chain of the distance image.
 *
 * Distances are phases: 30000 units are one modulation period. Amplitudes are in DCS units.
 * Invalid pixels carry reserved codes instead of values (every value above 29999 is a code):
 *   65300  amplitude below the hysteresis threshold, or removed by a filter / the image difference
 *   65400  saturated: a raw DCS sample equals 4095 while saturation checking is on
 *   65500  ADC overflow: a masked sample outside the overflow limits while overflow checking is on
 *
 * The *Sorted functions point *image at a static result buffer owned by the library (valid until
 * the next call of the same family) and return the number of samples in it, 0 when the frame
 * geometry cannot be served. The image* post-processing functions and calculationAddOffset work in
 * place on the distance image of the current geometry (calcImageWidth x calcImageHeight).
 * Settings and per-pixel state are process-wide; none of these calls is thread-safe.
 */
#ifndef LUMOX_EVK_CALC_H
#define LUMOX_EVK_CALC_H

#include <stdint.h>

#include "lumox/export.h"
#include "lumox/image.h"

LUMOX_BEGIN_DECLS

/* ---- Reserved pixel codes ---- */

/* The kit's names for the reserved distance codes of image.h. */
#define LUMOX_EVK_LOW_AMPLITUDE LUMOX_DIST_FILTERED
#define LUMOX_EVK_SATURATED LUMOX_DIST_SATURATED
#define LUMOX_EVK_ADC_OVERFLOW LUMOX_DIST_INVALID

/* ---- Calculator: one pixel at a time ---- */

/* Sets the amplitude divider (1 for two DCS, 2 for four) and copies the minimum amplitude. */
LUMOX_API int calculatorInit(int divider) LUMOX_NOEXCEPT;
/* Loads the two samples of a pixel (masked; slots 2 and 3 get the overflow minimum). */
LUMOX_API void calculatorSetArgs2DCS(uint16_t dcs0, uint16_t dcs1, int memoryIndex,
                                     int calibrationIndex) LUMOX_NOEXCEPT;
LUMOX_API void calculatorSetArgs4DCS(uint16_t dcs0, uint16_t dcs1, uint16_t dcs2, uint16_t dcs3,
                                     int memoryIndex, int calibrationIndex) LUMOX_NOEXCEPT;
/* Distance in the low 16 bits, amplitude in the high 16 bits. */
LUMOX_API uint32_t calculatorGetDistAndAmpSine(void) LUMOX_NOEXCEPT;
LUMOX_API uint16_t calculatorGetAmpSine(void) LUMOX_NOEXCEPT;
LUMOX_API uint32_t calculatorGetDistAndAmpPN(void) LUMOX_NOEXCEPT;
LUMOX_API uint16_t calculatorGetAmpPN(void) LUMOX_NOEXCEPT;

/* ---- Hysteresis, saturation and ADC overflow checks ---- */

/* Updates the state of pixel (memory index) from a squared amplitude and returns it (1 valid). */
LUMOX_API int hysteresisUpdate(int pixel, int64_t squaredAmplitude) LUMOX_NOEXCEPT;
LUMOX_API int hysteresisIsEnabled(int pixel) LUMOX_NOEXCEPT;
/* Flag saturation when a raw sample equals 4095; each returns the flag. */
LUMOX_API int saturationSet1DCS(uint16_t dcs0) LUMOX_NOEXCEPT;
LUMOX_API int saturationSet2DCS(uint16_t dcs0, uint16_t dcs1) LUMOX_NOEXCEPT;
LUMOX_API int saturationSet4DCS(uint16_t dcs0, uint16_t dcs1, uint16_t dcs2,
                                uint16_t dcs3) LUMOX_NOEXCEPT;
/* 1 when the last samples were flagged and saturation checking is on. */
LUMOX_API int saturationCheck(void) LUMOX_NOEXCEPT;
/* 1 when overflow checking is on and a sample lies outside minimum..maximum. */
LUMOX_API int adcOverflowCheck1DCS(uint16_t dcs0) LUMOX_NOEXCEPT;
LUMOX_API int adcOverflowCheck2DCS(uint16_t dcs0, uint16_t dcs1) LUMOX_NOEXCEPT;
LUMOX_API int adcOverflowCheck4DCS(uint16_t dcs0, uint16_t dcs1, uint16_t dcs2,
                                   uint16_t dcs3) LUMOX_NOEXCEPT;

/* ---- Read-out order iterators ---- */

/* One raw sample of a DCS plane and where it belongs in the image. */
typedef struct iterator_position {
    int memory; /* index of the sample in its DCS plane */
    int column; /* image column */
    int row;    /* image row, 0 at the top */
    int index;  /* column + columns x row */
    int upper;  /* 1 when the pixel lies in the upper half of the image */
} iterator_position;

/* count samples per DCS plane, columns, rows = rows per half x halves (halves:
 * pruGetNumberOfHalves). Return 0, or -1 for a geometry that does not match count. */
LUMOX_API int iteratorDefaultInit(int count, int columns, int rows) LUMOX_NOEXCEPT;
LUMOX_API int iteratorDefaultHasNext(void) LUMOX_NOEXCEPT;
LUMOX_API int iteratorDefaultNext(iterator_position *position) LUMOX_NOEXCEPT;
/* Dual-MGX layout: the two gates occupy alternating row blocks; yields the first gate's samples
 * (count / 2 positions) in an image of rows / 2 rows. */
LUMOX_API int iteratorMGXInit(int count, int columns, int rows) LUMOX_NOEXCEPT;
LUMOX_API int iteratorMGXHasNext(void) LUMOX_NOEXCEPT;
LUMOX_API int iteratorMGXNext(iterator_position *position) LUMOX_NOEXCEPT;

/* ---- Sorted data: type 0 distance, 1 amplitude, 2 distance plane then amplitude plane ---- */

LUMOX_API int calcDefNoPiDelayGetDataSorted(int type, uint16_t **image) LUMOX_NOEXCEPT;
LUMOX_API int calcDefPiDelayGetDataSorted(int type, uint16_t **image) LUMOX_NOEXCEPT;
LUMOX_API int calcMGXNoPiDelayGetDataSorted(int type, uint16_t **image) LUMOX_NOEXCEPT;
LUMOX_API int calcMGXPiDelayGetDataSorted(int type, uint16_t **image) LUMOX_NOEXCEPT;
LUMOX_API int calcPNDefNoPiDelayGetDataSorted(int type, uint16_t **image) LUMOX_NOEXCEPT;
LUMOX_API int calcPNDefPiDelayGetDataSorted(int type, uint16_t **image) LUMOX_NOEXCEPT;
LUMOX_API int calcPNMGXNoPiDelayGetDataSorted(int type, uint16_t **image) LUMOX_NOEXCEPT;
LUMOX_API int calcPNMGXPiDelayGetDataSorted(int type, uint16_t **image) LUMOX_NOEXCEPT;
/* Every DCS plane of a fetched frame in image order, with the saturation and overflow codes. */
LUMOX_API int calcBWSorted(uint16_t **image) LUMOX_NOEXCEPT;
/* A fetched frame in read-out order with the 12-bit samples (grayscale mode 2: the two planes as
 * signed differences to 2048, clipped at 0). */
LUMOX_API int calculationBW(uint16_t **image) LUMOX_NOEXCEPT;

/* Geometry of the sorted images the next (or last) calculation gives. */
LUMOX_API int calcImageWidth(void) LUMOX_NOEXCEPT;
LUMOX_API int calcImageHeight(void) LUMOX_NOEXCEPT;

/* ---- Entry points ---- */

LUMOX_API int calculationBWSorted(uint16_t **image) LUMOX_NOEXCEPT;
LUMOX_API int calculationDCSSorted(uint16_t **image) LUMOX_NOEXCEPT;
LUMOX_API int calculationDistanceSorted(uint16_t **image) LUMOX_NOEXCEPT;
LUMOX_API int calculationAmplitudeSorted(uint16_t **image) LUMOX_NOEXCEPT;
LUMOX_API int calculationDistanceAndAmplitudeSorted(uint16_t **image) LUMOX_NOEXCEPT;

/* ---- Modes of the calculation ---- */

/* Four DCS per pixel (pi delay) or two. */
LUMOX_API int calculationEnablePiDelay(int flag) LUMOX_NOEXCEPT;
LUMOX_API int calculationIsPiDelay(void) LUMOX_NOEXCEPT;
/* Dual-MGX read-out: the two gates in alternating row blocks. */
LUMOX_API int calculationEnableDualMGX(int flag) LUMOX_NOEXCEPT;
/* Pseudo-noise modulation. */
LUMOX_API int calculationEnablePN(int flag) LUMOX_NOEXCEPT;
LUMOX_API int calculationIsPN(void) LUMOX_NOEXCEPT;

/* ---- Post-processing of the distance image, in the order the distance path runs them ---- */

/* Replaces the listed bad pixels by their neighbour (imageCorrectionLoad / Enable). */
LUMOX_API int imageCorrect(uint16_t **image) LUMOX_NOEXCEPT;
/* Neighbour averaging: 1 four neighbours, 2 eight neighbours (imageSetProcessing). */
LUMOX_API int imageProcess(uint16_t **image) LUMOX_NOEXCEPT;
/* Running average over imageSetNumberOfPicture pictures. */
LUMOX_API int imageAverage(uint16_t **image) LUMOX_NOEXCEPT;
/* Mean of the last five images once five have been seen. */
LUMOX_API int imageAveragePicture(uint16_t **image) LUMOX_NOEXCEPT;
/* Pixels closer than the threshold to the reference image become 65300. */
LUMOX_API int imageDifference(uint16_t **image) LUMOX_NOEXCEPT;
/* Kalman filtering in the mode of calculationEnableKalman. */
LUMOX_API int calculationFalmanFiltering(uint16_t **image) LUMOX_NOEXCEPT;
LUMOX_API double calculationSimpleKalmanFilter(double value, int pixel, double gain) LUMOX_NOEXCEPT;
LUMOX_API double calculationKalmanFilter(double value, int pixel, double q,
                                         double variance) LUMOX_NOEXCEPT;
/* Adds the offset phase to every value pixel, modulo 30000; codes stay. */
LUMOX_API int calculationAddOffset(uint16_t **image) LUMOX_NOEXCEPT;

/* ---- Offset phase ---- */

LUMOX_API int calibrationSetOffset(int offset) LUMOX_NOEXCEPT;
LUMOX_API int calibrationGetOffset(void) LUMOX_NOEXCEPT;
/* With the default offset enabled, DRNU mode 2 adds the phase of the calibration's reference
 * distance whatever offset was set. */
LUMOX_API int calibrationEnableDefaultOffset(int flag) LUMOX_NOEXCEPT;

/* ---- Corrections ---- */

/* Per-pixel DRNU table correction of the distance image (mode 1 without, mode 2 with the
 * temperature term). */
LUMOX_API int calculationCorrectDRNU(uint16_t **image) LUMOX_NOEXCEPT;
LUMOX_API int calculationCorrectDRNU2(uint16_t **image) LUMOX_NOEXCEPT;
/* Temperature compensation of the distance image (outside DRNU correction). */
LUMOX_API int calculationCorrectTemperature(uint16_t **image) LUMOX_NOEXCEPT;
LUMOX_API int calculationSetEnableTemperature(int flag) LUMOX_NOEXCEPT;
/* Ambient-light correction of the DCS samples. */
LUMOX_API int calculationSetEnableAmbientLight(int flag) LUMOX_NOEXCEPT;
/* The ambient light factor as configured, and the working factor (configured / sqrt(time 3D)). */
LUMOX_API int calculationSetAmbientLightFactorOrg(double factor) LUMOX_NOEXCEPT;
LUMOX_API int calculationSetAmbientLightFactor(double factor) LUMOX_NOEXCEPT;
/* Sensor temperature minus the calibration temperature (tenths of a degree). */
LUMOX_API int calculationSetDiffTemp(int difference) LUMOX_NOEXCEPT;
LUMOX_API int calculationGetDiffTemp(void) LUMOX_NOEXCEPT;
/* A DCS sample corrected by the ambient light seen in the gray value of its pixel. */
LUMOX_API int calculationAmbientDCSCorrectionPixel(int dcs, int grayPixel) LUMOX_NOEXCEPT;
/* Grayscale gain and offset correction of the gray image (per-chip file). */
LUMOX_API int setCorrectGrayscaleOffset(int flag) LUMOX_NOEXCEPT;
LUMOX_API int setCorrectGrayscaleGain(int flag) LUMOX_NOEXCEPT;
/* Grayscale gain and offset come from the per-chip file only: returns -1. */
LUMOX_API int calculationCalibrateGrayscale(int mode) LUMOX_NOEXCEPT;
/* FLIM gray correction: type 1 records the current gray frame as the per-pixel offset (dark),
 * type 2 the per-pixel gain (flat field, after the offset), type 0 forgets both. 0, or -1 for
 * another type or when no frame came. */
LUMOX_API int calculationFlimCalibration(int type) LUMOX_NOEXCEPT;
LUMOX_API int calculateIsFlimCorrectionAvailable(void) LUMOX_NOEXCEPT;
LUMOX_API int calculationSetCorrectFlimOffset(int flag) LUMOX_NOEXCEPT;
LUMOX_API int calculationSetCorrectFlimGain(int flag) LUMOX_NOEXCEPT;

LUMOX_END_DECLS

#endif /* LUMOX_EVK_CALC_H */
